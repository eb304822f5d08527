// Read-only views of a table. A large calibration table's whole `_CaliTable` is built as
// Python objects straight from its header tree and DATA arrays; a picture of one common-arm
// step needs only that step's map.

#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"
#include "casters.hpp"
#include "comdata_numbers.hpp"
#include "exports.hpp"
#include "guarded.hpp"

namespace arvcore::python {

namespace py = pybind11;
using vlndev::CalibrationTableManager;
using Manager = Guarded<CalibrationTableManager>;

namespace {

/// Fills the chip maps under `place` (board, mode: leading names only) in `node`, the Python
/// form of the header tree's map at `place`, from the DATA arrays, one chip map at a time with
/// its steps in the order they were made, each channel key made once for all steps.
void fill_chip_maps(py::handle node, const vlndev::detail::CaliData& data,
                    std::span<const std::string> place) {
  const detail::CollectorPause pause(true);
  std::vector<py::object> keys(data.key_count());
  for (const auto* steps : data.chips_under(place)) {
    const auto& first = data.steps()[steps->front()];
    const std::string* names[] = {&first.board, &first.mode, &first.chip};
    py::object chip = py::reinterpret_borrow<py::object>(node);
    for (std::size_t i = place.size(); i < std::size(names); ++i) {
      chip = chip[py::str(*names[i])];
    }
    for (const std::uint32_t s : *steps) {
      const auto& step = data.steps()[s];
      py::dict entries;
      for (std::size_t i = 0; i < step.size(); ++i) {
        py::object& key = keys[step.key_at(i)];
        if (!key) {
          key = py::str(data.key_text(step.key_at(i)));
        }
        if (PyDict_SetItem(entries.ptr(), key.ptr(), comdata_list(step.at(i)).ptr()) != 0) {
          throw py::error_already_set();
        }
      }
      chip[py::str(step.com)] = entries;
    }
  }
}

/// The entry of `_CaliTable` under `path` as Python objects: a board's or mode's part of a
/// parsed CSV table from its header tree and DATA arrays, anything else from the manager.
py::object cali_part(Manager& self, std::span<const std::string> path) {
  const vlndev::detail::CaliData* data = self.caliData();
  if (data == nullptr || data->empty() || path.size() >= 3) {
    return path.empty() ? to_python(self.CaliTable()) : to_python(self.caliTableEntry(path));
  }
  py::object part = to_python(self.caliTableEntry(path, /*with_data=*/false));
  fill_chip_maps(part, *data, path);
  return part;
}

/// The entry of `_CaliTable` under `keys`, one map key per argument; KeyError names the first
/// key that is missing.
py::object cali_table_entry(Manager& self, const py::args& keys) {
  std::vector<std::string> path;
  for (const auto& k : keys) {
    path.push_back(py::cast<std::string>(k));
  }
  return self.reading([&] { return cali_part(self, path); });
}

/// `_CaliTable` as Python objects.
py::object cali_table(Manager& self) {
  return self.reading([&] { return cali_part(self, {}); });
}

}  // namespace

void export_table_views(py::module_& m) {
  py::class_<Manager> cls(m.attr("CalibrationTableManager"));
  cls.def_property_readonly("_CaliTable", &cali_table);
  cls.def("_CaliTableEntry", &cali_table_entry,
          "A copy of the entry of _CaliTable under the given keys, for example "
          "('BOARD_1', 'TX', 'DATA_CHIP_1', 'COM_1'), without converting the rest of the table.");
}

}  // namespace arvcore::python
