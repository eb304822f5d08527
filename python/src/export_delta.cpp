#include "exports.hpp"

namespace arvcore::python {

void export_delta(pybind11::module_& /*m*/) {}

}  // namespace arvcore::python
