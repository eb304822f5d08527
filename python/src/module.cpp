// The extension module behind the `arvcore` Python package.

#include <pybind11/pybind11.h>

#include "arvcore/value/json.hpp"
#include "exports.hpp"
#include "text_signatures.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_arvcore, m) {
  m.doc() = "C++ core of the arvcore table-management module";
  // Values reach Python one recursion level per list or map: a table read from a file must
  // fit within the interpreter's limit, with half of it left to the caller's own frames.
  arvcore::value::set_max_read_depth(
      py::module_::import("sys").attr("getrecursionlimit")().cast<int>() / 2);
  arvcore::python::export_enums(m);
  arvcore::python::export_sdk(m);
  arvcore::python::export_table_db(m);
  arvcore::python::export_db(m);
  arvcore::python::export_calibration(m);
  arvcore::python::export_calibration_queries(m);
  arvcore::python::export_comdata(m);
  arvcore::python::export_aakit(m);
  arvcore::python::export_delta(m);
  arvcore::python::export_beam(m);
  arvcore::python::export_table_views(m);
  // Last, once every function is bound: inspect.signature, help() and the stub checker read
  // the parameters from there.
  arvcore::python::sign_functions(m);
}
