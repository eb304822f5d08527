// The extension module behind the `arvcore` Python package.

#include <pybind11/pybind11.h>

#include "exports.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_arvcore, m) {
  m.doc() = "C++ core of the arvcore table-management module";
  arvcore::python::export_sdk(m);
  arvcore::python::export_table_db(m);
  arvcore::python::export_db(m);
  arvcore::python::export_calibration(m);
  arvcore::python::export_calibration_queries(m);
  arvcore::python::export_aakit(m);
  arvcore::python::export_delta(m);
  arvcore::python::export_beam(m);
}
