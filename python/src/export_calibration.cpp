// CalibrationTableManager in Python: construction, file discovery, parse, JSON import and the
// readable members. The queries are added to the same class by export_calibration_queries.

#include <array>
#include <exception>
#include <istream>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

#include <pybind11/iostream.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "arvcore/vlndev/cali_table_check.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "casters.hpp"
#include "exports.hpp"
#include "fastlane.hpp"
#include "gil.hpp"

namespace py = pybind11;

namespace arvcore::python {
namespace {

using vlndev::CalibrationTableManager;
using Manager = Guarded<CalibrationTableManager>;

// Reads a text held by a Python object in place, without copying it.
class ViewBuf final : public std::streambuf {
 public:
  explicit ViewBuf(std::string_view text) {
    char* p = const_cast<char*>(text.data());  // never written: the buffer is get-only
    setg(p, p, p + text.size());
  }
};

// Stands for a stream whose reading failed: the parse meets the failure where it reads, so
// it answers and logs it like any other reading failure.
class FailedBuf final : public std::streambuf {
 public:
  explicit FailedBuf(std::exception_ptr failure) : failure_(std::move(failure)) {}

 protected:
  int_type underflow() override { std::rethrow_exception(failure_); }
  std::streamsize xsgetn(char* /*s*/, std::streamsize /*n*/) override {
    std::rethrow_exception(failure_);
  }

 private:
  std::exception_ptr failure_;
};

bool truth(const py::handle& o) {
  return py::bool_(py::reinterpret_borrow<py::object>(o));
}

// The caller's stream is read to its end through its own read(); it stays open.
RetType parse(Manager& self, const py::object& freq, const py::object& fileObject,
              const py::object& exportToJson) {
  const Value f = to_value(freq, "freq");
  const bool export_json = truth(exportToJson);
  if (fileObject.is_none()) {
    return self.released([&] { return self.parse(f, nullptr, export_json); }, kAtQueries);
  }
  py::object content;
  std::string_view text;
  try {
    content = fileObject.attr("read")();
    if (PyUnicode_Check(content.ptr())) {
      text = detail::str_view(content.ptr());
    } else if (PyBytes_Check(content.ptr())) {
      text = std::string_view(PyBytes_AS_STRING(content.ptr()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(content.ptr())));
    } else {
      throw TypeError(
          fmt::format("fileObject.read() answered '{}', not text", detail::type_name_of(content)));
    }
  } catch (...) {
    FailedBuf failed(std::current_exception());
    std::istream in(&failed);
    return self.locked([&] { return self.parse(f, &in, export_json); }, kAtQueries);
  }
  // `content` holds the text, unchanged, until the parse is over.
  ViewBuf buf(text);
  std::istream in(&buf);
  return self.released([&] { return self.parse(f, &in, export_json); }, kAtQueries);
}

// --- fast lanes (see fastlane.hpp) ----------------------------------------------------------

inline constexpr char freqs_key[] = "freqs";
inline constexpr char version_key[] = "version";

PyObject* fast_frequency_list(Manager& self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static constexpr std::array<std::string_view, 1> names{"force_refresh"};
  std::array<PyObject*, 1> arg{};
  if (self.web_mode() || cali_logger().enabled(log::Level::info) ||
      !fastlane::sort_args(args, nargs, kwnames, names, arg) ||
      (arg[0] != nullptr && arg[0] != Py_False)) {
    return nullptr;
  }
  return self.fresh_envelope(freqs_key);
}

// The version is kept unless a table database answers it.
bool version_kept(const Manager& self) {
  return self.db() == nullptr && !cali_logger().enabled(log::Level::info);
}

}  // namespace

const log::Logger& cali_logger() {
  static const log::Logger logger("CaliTbl");
  return logger;
}

void export_calibration(py::module_& m) {
  py::class_<Manager> cls(m, "CalibrationTableManager",
                          "Calibration tables of one beamformer device: file "
                          "discovery, CSV parse, JSON import and the queries served "
                          "from them.");
  cls.def(py::init([](const std::string& sn, const py::object& freq, py::object rf_layout,
                      const py::object& support_polar, const py::object& is_web_mode,
                      const py::object& fetchCsvFromFile) {
            return std::make_unique<Manager>(
                sn, to_value(freq, "freq"), layout_callback(std::move(rf_layout)),
                truth(support_polar), truth(is_web_mode), truth(fetchCsvFromFile));
          }),
          py::arg("sn"), py::arg("freq"), py::arg("rf_layout"), py::arg("support_polar") = false,
          py::arg("is_web_mode") = false, py::arg("fetchCsvFromFile") = true)
      .def("parse", &parse, py::arg("freq"), py::arg("fileObject") = py::none(),
           py::arg("exportToJson") = false)
      .def("parseRawJson", released<&CalibrationTableManager::parseRawJson>(),
           py::call_guard<py::scoped_ostream_redirect>())
      .def("_searchCaliFile", released<&CalibrationTableManager::_searchCaliFile>(),
           py::arg("extension") = ".csv")
      .def("checkCaliTableLocation", released<&CalibrationTableManager::checkCaliTableLocation>())
      .def(
          "getFrequencyList",
          [](Manager& self, bool force_refresh) -> py::object {
            // A refresh, or any web-mode call, fetches the list anew.
            if (force_refresh || self.web_mode()) {
              return to_python(
                  self.locked([&] { return self.getFrequencyList(force_refresh); }, kAtQueries));
            }
            return self.kept(freqs_key, cali_logger(), true,
                             [&] { return self.getFrequencyList(false); });
          },
          py::arg("force_refresh") = false)
      .def("queryCaliTableVer",
           [](Manager& self) {
             return self.kept(
                 version_key, cali_logger(), self.db() == nullptr,
                 [&] { return self.queryCaliTableVer(); }, kAtQueries);
           })
      .def_property_readonly("sn", reading<&CalibrationTableManager::sn>(),
                             "Serial number of the device.")
      .def_property_readonly("_freq_list", reading<&CalibrationTableManager::freq_list>())
      .def_property_readonly("path_cali", reading<&CalibrationTableManager::path_cali>(),
                             "Path of the calibration file the last parse found (\"\" before).")
      .def_property_readonly("defaultDir", reading<&CalibrationTableManager::defaultDir>(),
                             "The data directory searched for calibration files (None in web "
                             "mode, on polarization devices and without fetchCsvFromFile).")
      .def_property_readonly("_num_board", reading<&CalibrationTableManager::num_board>())
      .def_property_readonly("_num_ic_per_board",
                             reading<&CalibrationTableManager::num_ic_per_board>())
      .def_property_readonly("_num_channel_per_ic",
                             reading<&CalibrationTableManager::num_channel_per_ic>())
      .def_property_readonly("_cali_table_ver_limit",
                             reading<&CalibrationTableManager::cali_table_ver_limit>());
  fastlane::install<Manager, &fast_frequency_list>(cls, "getFrequencyList");
  fastlane::install<Manager, &fastlane::kept_getter<Manager, &version_kept, version_key>>(
      cls, "queryCaliTableVer");

  m.def(
      "check_calibration_table",
      [](const std::string& path, const std::string& sn, const py::object& freq,
         const py::object& layout, const std::string& ver_limit) {
        vlndev::CaliCheckOptions options;
        options.sn = sn;
        if (!freq.is_none()) {
          options.freq = py::float_(freq).cast<double>();
        }
        if (!layout.is_none()) {
          options.device = vlndev::layout_of(to_value(layout, "layout"));
        }
        options.ver_limit = ver_limit;
        Value report;
        {
          // The records of the device parse inside reach logging when the GIL is back.
          WithoutGil released;
          report = vlndev::check_cali_table(path, options).to_value();
        }
        return to_python(report);
      },
      py::arg("path"), py::arg("sn") = "", py::arg("freq") = py::none(),
      py::arg("layout") = py::none(), py::arg("ver_limit") = "2.0.0",
      "Every fault of the calibration file at `path`, as a dict: file, result (what a device's "
      "parse answers), layout (device, table) and problems.");
  m.def(
      "checked_layout",
      [](const py::object& layout) {
        return to_python(vlndev::layout_of(to_value(layout, "layout")).value());
      },
      py::arg("layout"),
      "`layout` (boards, ICs per board, channels per IC) as a list; ValueError when it is not "
      "three positive integers or beyond any device (the message states the bound).");
}

}  // namespace arvcore::python
