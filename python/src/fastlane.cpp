#include "fastlane.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "text_signatures.hpp"

namespace arvcore::python::fastlane::detail {

PyObject* call_full(PyObject* full, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  const Py_ssize_t total = nargs + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
  constexpr Py_ssize_t kOnStack = 8;
  PyObject* on_stack[kOnStack + 1];
  std::vector<PyObject*> on_heap;
  PyObject** stack = on_stack;
  if (total > kOnStack) {
    try {
      on_heap.resize(static_cast<std::size_t>(total) + 1);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    stack = on_heap.data();
  }
  stack[0] = self;
  for (Py_ssize_t i = 0; i < total; ++i) {
    stack[i + 1] = args[i];
  }
  return PyObject_Vectorcall(full, stack, static_cast<std::size_t>(nargs) + 1, kwnames);
}

PyObject* replace_method(PyTypeObject* cls, const char* name, PyMethodDef& def) {
  PyObject* bound = PyDict_GetItemString(cls->tp_dict, name);  // borrowed
  if (bound == nullptr) {
    throw py::attribute_error(std::string("no method to give a fast lane: ") + name);
  }
  PyObject* full = pybind_internals::function_of_member(bound).ptr();
  // The lane is a method descriptor: its first parameter is bound as a builtin's is.
  const std::string doc = signed_doc(full, SelfParam::bound);
  // Names and texts live as long as the method: for the life of the process.
  def.ml_name = strdup(name);
  def.ml_doc = strdup(doc.c_str());
  Py_INCREF(full);
  py::object method = py::reinterpret_steal<py::object>(PyDescr_NewMethod(cls, &def));
  if (!method ||
      PyObject_SetAttrString(reinterpret_cast<PyObject*>(cls), name, method.ptr()) != 0) {
    throw py::error_already_set();
  }
  return full;
}

void set_error_of_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown failure in a getter");
  }
}

}  // namespace arvcore::python::fastlane::detail
