// The enumeration classes of the Python package, built from the C++ tables (enum_traits.hpp)
// when the module loads: each gets the table's members in the table's order, its text and the
// module that shows it. The conversions (casters.hpp) use these very classes, and the stubs
// are checked against the same tables, so a member is added in its table alone (then
// `scripts/enum-stubs.py` writes the stubs again).

#include <string>

#include "casters.hpp"
#include "enum_classes.hpp"
#include "exports.hpp"

namespace py = pybind11;

namespace arvcore::python {
namespace {

// Built as a class statement builds it: the metaclass prepares the namespace, which gets the
// module, name and text first and then the body. Flag sets print by name
// ("BTSetOption.GET|SAVE", as in log lines) rather than as the bare number IntFlag prints.
template <NamedEnum E>
py::object make_class(const py::module_& enum_module, const char* module) {
  using T = EnumTraits<E>;
  const py::object base = enum_module.attr(T::flags ? "IntFlag" : "Enum");
  const auto meta =
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
  const py::str name(std::string(T::type_name));
  const py::tuple bases = py::make_tuple(base);
  py::object body = meta.attr("__prepare__")(name, bases);
  body["__module__"] = module;
  body["__qualname__"] = name;
  body["__doc__"] = std::string(T::doc);
  if constexpr (T::flags) {
    body["__str__"] = enum_module.attr("Flag").attr("__str__");
  }
  for (const auto& [member, text] : enum_texts<E>()) {
    body[py::str(std::string(member))] = std::string(text);
  }
  for (const auto& [member, value] : T::members) {
    body[py::str(std::string(member))] = enum_value(value);
  }
  return meta(name, bases, body);
}

template <class... E>
void make_classes(py::module_& m, const char* module, EnumList<E...> /*list*/) {
  const py::module_ enum_module = py::module_::import("enum");
  (
      [&] {
        py::object cls = make_class<E>(enum_module, module);
        set_py_enum_class<E>(cls);
        m.attr(std::string(EnumTraits<E>::type_name).c_str()) = cls;
      }(),
      ...);
}

}  // namespace

void export_enums(py::module_& m) {
  make_classes(m, names::public_module, PublicEnums{});
  make_classes(m, names::vlndev_module, ModuleEnums{});
}

}  // namespace arvcore::python
