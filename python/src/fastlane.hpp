#pragma once
// The fast lane of the small getters.
//
// A getter of the replaced module costs one Python method call and one envelope. Through
// pybind11 the same call also pays the dispatcher (argument loaders, variant casts, the walk
// over the function records), which is most of a sub-microsecond getter. Such a getter is
// therefore bound twice: the pybind11 function stays the full path (argument checks, errors,
// log records, filling the kept answers) and is held here out of sight; the public name is a
// plain CPython method that answers a kept answer itself when that is certainly what the full
// path would answer, and otherwise hands the very same arguments to the full path.
//
// The lane answers only for the bound class itself (a Python subclass may override what the
// getter relies on) and a constructed instance, and only for the common argument shapes each
// getter names; any other call takes the full path. It reads kept answers with the GIL held
// and never touches the manager's table (see guarded.hpp).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <pybind11/pybind11.h>

#include "pybind_internals.hpp"

namespace arvcore::python::fastlane {

namespace py = pybind11;

/// A fast answer: a new reference; or null with no error set, for the full path to answer; or
/// null with a Python error set.
template <class Manager>
using Answer = PyObject* (*)(Manager& self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

/// Sorts the arguments of a call onto the parameters `names` (null where not given). False
/// for any other shape: too many, or a keyword that is unknown or given twice.
template <std::size_t N>
bool sort_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const std::array<std::string_view, N>& names, std::array<PyObject*, N>& out) {
  if (nargs > static_cast<Py_ssize_t>(N)) {
    return false;
  }
  out.fill(nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[static_cast<std::size_t>(i)] = args[i];
  }
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(kwnames, k), &size);
    if (text == nullptr) {
      PyErr_Clear();
      return false;
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    std::size_t at = 0;
    while (at < N && names[at] != name) {
      ++at;
    }
    if (at == N || out[at] != nullptr) {
      return false;
    }
    out[at] = args[nargs + k];
  }
  return true;
}

/// The value of an exact int within 64 bits, or false (no error set) for anything else.
inline bool exact_int(PyObject* o, std::int64_t& out) {
  if (!PyLong_CheckExact(o)) {
    return false;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  out = v;
  return true;
}

/// The UTF-8 text of an exact str, or false (no error set) for anything else.
inline bool exact_str(PyObject* o, std::string_view& out) {
  if (!PyUnicode_CheckExact(o)) {
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

/// The lane of a getter without parameters whose answer is kept under `Key`, while `Open`
/// says that kept answers serve.
template <class Manager, bool (*Open)(const Manager&), const char* Key>
PyObject* kept_getter(Manager& self, PyObject* const* /*args*/, Py_ssize_t nargs,
                      PyObject* kwnames) {
  if (nargs != 0 || kwnames != nullptr || !Open(self)) {
    return nullptr;
  }
  return self.fresh_envelope(Key);
}

namespace detail {

/// Calls the full path with `self` before the caller's arguments.
PyObject* call_full(PyObject* full, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

/// Replaces the method `name` of `cls` by one that runs `def`; returns the function bound
/// before (a new reference), which `def` calls as its full path. Fills in the method's name
/// and documentation from the function it replaces.
PyObject* replace_method(PyTypeObject* cls, const char* name, PyMethodDef& def);

/// Sets the Python error of a C++ failure that would otherwise leave a C call.
void set_error_of_current_exception();

template <class Manager, Answer<Manager> Fast>
struct Lane {
  static inline PyTypeObject* cls = nullptr;
  static inline PyObject* full = nullptr;
  static inline PyMethodDef def{};

  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    try {
      if (void* value = pybind_internals::constructed_value(self, cls)) {
        if (PyObject* answer = Fast(*static_cast<Manager*>(value), args, nargs, kwnames)) {
          return answer;
        }
        if (PyErr_Occurred() != nullptr) {
          return nullptr;
        }
      }
    } catch (py::error_already_set& e) {
      e.restore();
      return nullptr;
    } catch (...) {
      set_error_of_current_exception();
      return nullptr;
    }
    return call_full(full, self, args, nargs, kwnames);
  }
};

}  // namespace detail

/// Gives the method `name` of `cls` (bound with pybind11 before) the fast lane `Fast`.
template <class Manager, Answer<Manager> Fast>
void install(const py::class_<Manager>& cls, const char* name) {
  using Lane = detail::Lane<Manager, Fast>;
  Lane::cls = reinterpret_cast<PyTypeObject*>(cls.ptr());
  Lane::def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Lane::call));
  Lane::def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
  Lane::full = detail::replace_method(Lane::cls, name, Lane::def);
}

}  // namespace arvcore::python::fastlane
