// Read-only views of one part of a table. A large calibration table's whole `_CaliTable`
// costs a second or more to build as Python objects; a picture of one common-arm step needs
// only that step's map.

#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "casters.hpp"
#include "exports.hpp"
#include "guarded.hpp"

namespace arvcore::python {

namespace py = pybind11;
using vlndev::CalibrationTableManager;
using Manager = Guarded<CalibrationTableManager>;

namespace {

/// The entry of `_CaliTable` under `keys`, one map key per argument; KeyError names the first
/// key that is missing.
Value cali_table_entry(Manager& self, const py::args& keys) {
  std::vector<std::string> path;
  for (const auto& k : keys) {
    path.push_back(py::cast<std::string>(k));
  }
  return self.reading([&] { return self.caliTableEntry(path); });
}

}  // namespace

void export_table_views(py::module_& m) {
  py::class_<Manager> cls(m.attr("CalibrationTableManager"));
  cls.def("_CaliTableEntry", &cali_table_entry,
          "A copy of the entry of _CaliTable under the given keys, for example "
          "('BOARD_1', 'TX', 'DATA_CHIP_1', 'COM_1'), without converting the rest of the table.");
}

}  // namespace arvcore::python
