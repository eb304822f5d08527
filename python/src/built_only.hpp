#pragma once
// Refusal of objects whose __init__ never ran. `Cls.__new__(Cls)` gives an instance with no
// C++ object behind it; pybind11 would hand a method a null or unbuilt object, and the method
// would end the interpreter. Every bound class takes its `self` through this caster.

#include <string>

#include <pybind11/pybind11.h>

namespace pybind11::detail {

template <class T>
class built_only_caster : public type_caster_base<T> {
  using Base = type_caster_base<T>;

 public:
  bool load(handle src, bool convert) {
    if (src && PyObject_TypeCheck(src.ptr(), this->typeinfo->type) != 0) {
      auto* inst = reinterpret_cast<instance*>(src.ptr());
      const value_and_holder v_h = inst->get_value_and_holder(this->typeinfo, false);
      if (!v_h || !v_h.holder_constructed()) {
        throw type_error(std::string(Py_TYPE(src.ptr())->tp_name) + ".__init__() was not called");
      }
    }
    return Base::load(src, convert);
  }
};

}  // namespace pybind11::detail

/// Makes every method of the bound class `T` refuse an instance whose __init__ did not run.
/// Used at global scope, before the class is bound.
#define ARVCORE_BUILT_ONLY(T)                            \
  namespace pybind11::detail {                           \
  template <>                                            \
  class type_caster<T> : public built_only_caster<T> {}; \
  }                                                      \
  static_assert(true, "ARVCORE_BUILT_ONLY ends with a semicolon")
