// UDDeltaFreqTableManager as arvcore.vlndev.VLNTableManager.UDDeltaFreqTableManager.

#include <string>

#include <pybind11/pybind11.h>

#include "arvcore/vlndev/ud_delta_freq_table_manager.hpp"
#include "casters.hpp"
#include "exports.hpp"

namespace arvcore::python {

void export_delta(py::module_& m) {
  using vlndev::UDDeltaFreqTableManager;
  py::class_<Guarded<UDDeltaFreqTableManager>> cls(
      m, "UDDeltaFreqTableManager",
      "The minimum LO-to-IF frequency difference of an up/down converter, from {SN}.csv.");
  cls.attr("__module__") = "arvcore.vlndev.VLNTableManager";
  cls.def(py::init<std::string>(), py::arg("sn"))
      .def("parse", released<&UDDeltaFreqTableManager::parse>())
      .def("getUDDeltaFreq", reading<&UDDeltaFreqTableManager::getUDDeltaFreq>());
}

}  // namespace arvcore::python
