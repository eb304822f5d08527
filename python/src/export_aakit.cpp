#include "exports.hpp"

namespace arvcore::python {

void export_aakit(pybind11::module_& /*m*/) {}

}  // namespace arvcore::python
