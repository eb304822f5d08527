#include "exports.hpp"

namespace arvcore::python {

void export_calibration(pybind11::module_& /*m*/) {}

}  // namespace arvcore::python
