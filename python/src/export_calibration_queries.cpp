#include "exports.hpp"

namespace arvcore::python {

void export_calibration_queries(pybind11::module_& /*m*/) {}

}  // namespace arvcore::python
