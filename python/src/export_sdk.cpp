#include "exports.hpp"

namespace arvcore::python {

void export_sdk(pybind11::module_& /*m*/) {}

}  // namespace arvcore::python
