#pragma once
// A ComData entry kept as numbers, made into the Python list a table holds.

#include <pybind11/pybind11.h>

#include "arvcore/vlndev/detail/cali_data.hpp"
#include "casters.hpp"

namespace arvcore::python {

/// [integer, integer, float, float], the floats from the shared atoms as any converted value's.
inline pybind11::object comdata_list(const vlndev::detail::ComDataNumbers& e) {
  PyObject* const list = PyList_New(4);
  if (list == nullptr) {
    throw pybind11::error_already_set();
  }
  auto out = pybind11::reinterpret_steal<pybind11::object>(list);
  detail::SharedAtoms& atoms = detail::shared_atoms();
  auto set = [list](Py_ssize_t i, PyObject* item) {
    if (item == nullptr) {
      throw pybind11::error_already_set();
    }
    PyList_SET_ITEM(list, i, item);
  };
  set(0, PyLong_FromLongLong(e.reg0));
  set(1, PyLong_FromLongLong(e.reg1));
  set(2, atoms.number(e.gain));
  set(3, atoms.number(e.phase));
  return out;
}

}  // namespace arvcore::python
