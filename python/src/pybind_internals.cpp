#include "pybind_internals.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace py = pybind11;

namespace arvcore::python::pybind_internals {
namespace {

/// The record pybind11 keeps behind a function object, or null for any other object.
const py::detail::function_record* raw_record_of(py::handle function) {
  if (!function || !PyCFunction_Check(function.ptr())) {
    return nullptr;
  }
  PyObject* self = PyCFunction_GET_SELF(function.ptr());
  if (self == nullptr || !PyCapsule_CheckExact(self)) {
    return nullptr;
  }
  auto capsule = py::reinterpret_borrow<py::capsule>(self);
  if (!py::detail::is_function_record_capsule(capsule)) {
    return nullptr;
  }
  return capsule.get_pointer<py::detail::function_record>();
}

}  // namespace

bool is_bound_class(PyTypeObject* type) {
  return py::detail::get_type_info(type) != nullptr;
}

py::handle function_of_member(py::handle member) {
  if (PyInstanceMethod_Check(member.ptr())) {
    return PyInstanceMethod_GET_FUNCTION(member.ptr());
  }
  if (py::isinstance<py::staticmethod>(member)) {
    return member.attr("__func__");  // the staticmethod holds it: stays alive
  }
  return member;
}

std::optional<FunctionRecord> record_of(py::handle function) {
  const py::detail::function_record* rec = raw_record_of(function);
  if (rec == nullptr) {
    return std::nullopt;
  }
  FunctionRecord out{rec->name,     rec->next != nullptr, rec->is_method,
                     rec->nargs,    rec->nargs_pos,       rec->nargs_pos_only,
                     rec->has_args, rec->has_kwargs,      {}};
  out.params.reserve(rec->args.size());
  for (const py::detail::argument_record& arg : rec->args) {
    out.params.push_back({arg.name, arg.value, arg.descr});
  }
  return out;
}

void set_function_doc(py::handle function, const std::string& doc) {
  if (raw_record_of(function) == nullptr) {
    throw std::invalid_argument("not a pybind11 function: no docstring to replace");
  }
  PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
  // pybind11 allocates the text with strdup and frees it with free.
  char* fresh = strdup(doc.c_str());
  if (fresh == nullptr) {
    throw std::bad_alloc();
  }
  std::free(const_cast<char*>(def->ml_doc));
  def->ml_doc = fresh;
}

}  // namespace arvcore::python::pybind_internals
