#pragma once
// Every place where the binding reads pybind11's internals, behind one door.
//
// Supported pybind11 releases: 2.10.2 up to and including 2.13.x (built and tested with
// 2.10.3, Debian 12's pybind11-dev). python/CMakeLists.txt refuses any other release at
// configure time, and the check below refuses it at compile time. The names and meanings
// relied on, as they stand through those releases:
//   - `detail::instance`: `simple_layout`, `simple_holder_constructed`, `simple_value_holder`,
//     `get_value_and_holder()`, and the `typeinfo` of a generic caster;
//   - `detail::function_record` and `detail::argument_record` (names, defaults, argument
//     counts, the overload chain), reached through the function's capsule
//     (`detail::is_function_record_capsule`, from 2.10.2);
//   - a function's docstring allocated with strdup and freed with free;
//   - methods kept in a class's dict wrapped in an instancemethod.
// pybind11 3 keeps function records as Python objects instead: moving to it means changing
// this file pair only. Custom type casters (casters.hpp) use pybind11's documented extension
// point (`type_caster` specialisations with PYBIND11_TYPE_CASTER) and are not internals.

#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <pybind11/pybind11.h>

static_assert(PYBIND11_VERSION_HEX >= 0x020A0200 && PYBIND11_VERSION_HEX < 0x020E0000,
              "the binding reads pybind11's internals as they are in 2.10.2 to 2.13.x");

namespace arvcore::python::pybind_internals {

/// True for a class that pybind11 bound (in this module or another).
bool is_bound_class(PyTypeObject* type);

/// The C++ object of `self` when its type is exactly `cls` and it has been constructed; else
/// null (an object whose __init__ never ran is refused by the full path's argument check).
inline void* constructed_value(PyObject* self, PyTypeObject* cls) {
  auto* inst = reinterpret_cast<pybind11::detail::instance*>(self);
  if (Py_TYPE(self) != cls || !inst->simple_layout || !inst->simple_holder_constructed) {
    return nullptr;
  }
  return inst->simple_value_holder[0];
}

/// The function a class keeps under a name: pybind11 wraps methods in an instancemethod and
/// static methods in a staticmethod. Any other member is answered as it is.
pybind11::handle function_of_member(pybind11::handle member);

/// One parameter of a pybind11 function, as its record holds it.
struct Param {
  const char* name = nullptr;          // null for a parameter bound without a name
  pybind11::handle default_value;      // null without a default
  const char* default_text = nullptr;  // the default's description, when the binding gave one
};

/// The parameters of a pybind11 function, as its record holds them.
struct FunctionRecord {
  std::string name;
  bool overloaded = false;  // more than one record: the signature is not one parameter list
  bool is_method = false;
  std::size_t nargs = 0;  // every parameter, *args and **kwargs included
  std::size_t nargs_pos = 0;
  std::size_t nargs_pos_only = 0;
  bool has_args = false;
  bool has_kwargs = false;
  std::vector<Param> params;  // as many as were described, at most nargs
};

/// The record behind a pybind11 function object; nothing for any other object.
std::optional<FunctionRecord> record_of(pybind11::handle function);

/// Replaces the docstring of the pybind11 function `function` (one record_of answers for).
void set_function_doc(pybind11::handle function, const std::string& doc);

/// False for an instance of the class `caster` loads whose C++ object was never constructed;
/// true for a constructed one, and for an object of another type (which the caster refuses
/// its own way).
inline bool constructed_for(pybind11::handle src,
                            const pybind11::detail::type_caster_generic& caster) {
  if (!src || PyObject_TypeCheck(src.ptr(), caster.typeinfo->type) == 0) {
    return true;
  }
  auto* inst = reinterpret_cast<pybind11::detail::instance*>(src.ptr());
  const pybind11::detail::value_and_holder v_h = inst->get_value_and_holder(caster.typeinfo, false);
  return v_h && v_h.holder_constructed();
}

}  // namespace arvcore::python::pybind_internals

namespace arvcore::python {

/// Classes whose methods refuse an instance whose __init__ did not run (see ARVCORE_BUILT_ONLY).
template <class T>
inline constexpr bool built_only = false;

}  // namespace arvcore::python

namespace pybind11::detail {

// `Cls.__new__(Cls)` gives an instance with no C++ object behind it; pybind11 would hand a
// method a null or unbuilt object, and the method would end the interpreter. Every bound class
// takes its `self` through this caster.
template <class T>
class type_caster<T, std::enable_if_t<arvcore::python::built_only<T>>>
    : public type_caster_base<T> {
 public:
  bool load(handle src, bool convert) {
    if (!arvcore::python::pybind_internals::constructed_for(src, *this)) {
      throw type_error(std::string(Py_TYPE(src.ptr())->tp_name) + ".__init__() was not called");
    }
    return type_caster_base<T>::load(src, convert);
  }
};

}  // namespace pybind11::detail

/// Makes every method of the bound class `T` refuse an instance whose __init__ did not run.
/// Used at global scope, before the class is bound.
#define ARVCORE_BUILT_ONLY(T)                 \
  namespace arvcore::python {                 \
  template <>                                 \
  inline constexpr bool built_only<T> = true; \
  }                                           \
  static_assert(true, "ARVCORE_BUILT_ONLY ends with a semicolon")
