#include "exports.hpp"

namespace arvcore::python {

void export_beam(pybind11::module_& /*m*/) {}

}  // namespace arvcore::python
