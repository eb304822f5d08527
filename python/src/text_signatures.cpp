#include "text_signatures.hpp"

#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "pybind_internals.hpp"

namespace py = pybind11;

namespace arvcore::python {
namespace {

using pybind_internals::FunctionRecord;
using pybind_internals::record_of;

/// True for a value whose repr() `inspect` reads back as the value itself.
bool is_literal(py::handle value) {
  PyObject* o = value.ptr();
  if (o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyUnicode_CheckExact(o) ||
      PyBytes_CheckExact(o)) {
    return true;
  }
  if (PyFloat_CheckExact(o)) {
    return std::isfinite(PyFloat_AS_DOUBLE(o));  // repr "inf" and "nan" are no literals
  }
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    for (const py::handle item : value) {
      if (!is_literal(item)) {
        return false;
      }
    }
    return true;
  }
  return false;
}

/// A default as `inspect` reads it back: it accepts literals, and dotted names that evaluate
/// to a literal, which covers int- and str-based enumeration members (the member comes back,
/// not its bare value). A binding may name such a member in the argument's description when
/// the member's class loads after the core (py::arg_v("x", 3, "pkg.Enum.MEMBER")). Anything
/// else is written as "...": the parameter still shows as optional, with no value to compare.
std::string default_text(const pybind_internals::Param& arg) {
  const std::string repr = py::repr(arg.default_value);
  if (arg.default_text != nullptr && repr != arg.default_text) {
    return arg.default_text;
  }
  if (is_literal(arg.default_value)) {
    return repr;
  }
  const PyObject* o = arg.default_value.ptr();
  const bool literal_based = PyLong_Check(o) || PyFloat_Check(o) || PyUnicode_Check(o);
  if (literal_based && py::hasattr(arg.default_value, "name") &&
      py::hasattr(arg.default_value, "_value_")) {
    const py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(o)));
    return py::str("{}.{}.{}")
        .format(type.attr("__module__"), type.attr("__qualname__"), arg.default_value.attr("name"));
  }
  return "...";
}

/// The parameter list of one record, as CPython's text signatures write it.
std::string params_of(const FunctionRecord& rec, SelfParam self) {
  const std::string self_name = self == SelfParam::bound ? "$self" : "self";
  if (rec.overloaded) {
    return rec.is_method && self != SelfParam::omitted ? self_name + ", *args, **kwargs"
                                                       : "*args, **kwargs";
  }
  std::string out;
  const auto add = [&out](std::string_view part) {
    if (!out.empty()) {
      out += ", ";
    }
    out += part;
  };
  const auto named = static_cast<std::size_t>(rec.nargs - rec.has_args - rec.has_kwargs);
  const auto positional = static_cast<std::size_t>(rec.nargs_pos);
  const auto positional_only = static_cast<std::size_t>(rec.nargs_pos_only);
  for (std::size_t i = 0; i < named; ++i) {
    if (i == positional) {
      add(rec.has_args ? "*args" : "*");
    }
    const bool is_self = i == 0 && rec.is_method;
    if (is_self && self == SelfParam::omitted) {
      continue;
    }
    // Unnamed parameters get the names pybind11's own first line gives them.
    std::string param = is_self ? self_name
                        : i < rec.params.size() && rec.params[i].name
                            ? rec.params[i].name
                            : "arg" + std::to_string(i - (rec.is_method ? 1 : 0));
    if (i < rec.params.size() && rec.params[i].default_value) {
      param += "=" + default_text(rec.params[i]);
    }
    add(param);
    if (i + 1 == positional_only && !out.empty()) {
      add("/");
    }
  }
  if (rec.has_args && positional >= named) {
    add("*args");
  }
  if (rec.has_kwargs) {
    add("**kwargs");
  }
  return out;
}

/// Puts the signature of construction in front of the class's own text, where CPython looks
/// for a type's text signature (`__doc__` of a class made at run time is kept elsewhere).
void sign_class(PyTypeObject* type) {
  PyObject* init = PyDict_GetItemString(type->tp_dict, "__init__");  // borrowed
  const std::optional<FunctionRecord> rec =
      init != nullptr ? record_of(pybind_internals::function_of_member(init)) : std::nullopt;
  if (!rec) {
    return;
  }
  const std::string_view name =
      std::string_view(type->tp_name)
          .substr(std::string_view(type->tp_name).rfind('.') + 1);  // npos + 1: the whole name
  std::string doc = std::string(name) + "(" + params_of(*rec, SelfParam::omitted) + ")\n--\n\n";
  if (type->tp_doc != nullptr) {
    if (std::string_view(type->tp_doc).starts_with(doc)) {
      return;
    }
    doc += type->tp_doc;
  }
  // The type frees its text with PyObject_Free.
  auto* fresh = static_cast<char*>(PyObject_Malloc(doc.size() + 1));
  if (fresh == nullptr) {
    throw std::bad_alloc();
  }
  std::memcpy(fresh, doc.c_str(), doc.size() + 1);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = fresh;
}

/// Puts the text signature in front of the docstring of one pybind11 function.
void sign(py::handle function) {
  if (!record_of(function)) {
    return;
  }
  const char* old = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml->ml_doc;
  const std::string doc = signed_doc(function, SelfParam::plain);
  if (old == nullptr || doc != old) {
    pybind_internals::set_function_doc(function, doc);
  }
}

}  // namespace

std::string signed_doc(py::handle function, SelfParam self) {
  const std::optional<FunctionRecord> rec = record_of(function);
  if (!rec) {
    throw std::invalid_argument("not a pybind11 function: no signature to write");
  }
  const char* doc = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml->ml_doc;
  const std::string head = std::string(rec->name) + "(" + params_of(*rec, self) + ")\n--\n\n";
  if (doc == nullptr) {
    return head;
  }
  // A text already signed keeps its one signature line.
  return std::string_view(doc).starts_with(head) ? std::string(doc) : head + doc;
}

void sign_functions(py::module_& m) {
  const auto members = py::reinterpret_borrow<py::dict>(m.attr("__dict__"));
  for (const auto& [name, value] : members) {
    if (PyType_Check(value.ptr())) {
      auto* type = reinterpret_cast<PyTypeObject*>(value.ptr());
      if (!pybind_internals::is_bound_class(type)) {
        continue;
      }
      for (const auto& [method_name, member] : py::reinterpret_borrow<py::dict>(type->tp_dict)) {
        sign(pybind_internals::function_of_member(member));
      }
      sign_class(type);
    } else {
      sign(value);
    }
  }
}

}  // namespace arvcore::python
