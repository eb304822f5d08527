#include "exports.hpp"

namespace arvcore::python {

void export_db(pybind11::module_& /*m*/) {}

}  // namespace arvcore::python
