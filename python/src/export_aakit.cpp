// AAKitTableManager as arvcore.vlndev.VLNTableManager.AAKitTableManager.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "arvcore/vlndev/aakit_table_manager.hpp"
#include "casters.hpp"
#include "exports.hpp"
#include "fastlane.hpp"

namespace arvcore::python {
namespace {

using vlndev::AAKitTableManager;
using Manager = Guarded<AAKitTableManager>;

// The device layer passes "no function" as None or any other false value.
bool given(const py::object& fn) {
  // An exception that __bool__ or __len__ raises reaches the caller as itself.
  return !fn.is_none() && py::bool_(fn);
}

vlndev::KwCallback forwarding(const py::object& fn) {
  return given(fn) ? kw_callback(fn) : vlndev::KwCallback();
}

vlndev::AAKitFetchFn fetching(const py::object& fn) {
  if (!given(fn)) {
    return {};
  }
  return [fn = SharedObject(fn)](std::int64_t devtype, std::int64_t total_ch,
                                 const Value& support_devs) {
    InPython gil;
    py::object answer = fn.get()(devtype, total_ch, to_python(support_devs));
    return to_ret_type(answer, "fetch function");
  };
}

const log::Logger& kit_logger() {
  static const log::Logger logger("AAKitTbl");
  return logger;
}

void require(bool ok, const char* arg, const char* type, const py::object& value) {
  if (!ok) {
    throw TypeError(fmt::format("{} must be {}, not {}", arg, type, Py_TYPE(value.ptr())->tp_name));
  }
}

// The key a getAAKitInfo answer is kept under, written into `key`.
void write_info_key(std::string& key, const std::optional<std::string_view>& kitName, bool local) {
  key = local ? "info/local/" : "info/";
  if (kitName) {
    key += "=";
    key += *kitName;
  }
}

std::string info_key(const std::optional<std::string_view>& kitName, bool local) {
  std::string key;
  write_info_key(key, kitName, local);
  return key;
}

// Fast lane (see fastlane.hpp): a kit name or None, local given as a bool.
PyObject* fast_kit_info(Manager& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<std::string_view, 2> names{"kitName", "local"};
  std::array<PyObject*, 2> arg{};
  if (self.web_mode() || kit_logger().enabled(log::Level::info) ||
      !fastlane::sort_args(args, nargs, kwnames, names, arg)) {
    return nullptr;
  }
  std::optional<std::string_view> name;
  if (arg[0] != nullptr && arg[0] != Py_None) {
    std::string_view text;
    if (!fastlane::exact_str(arg[0], text)) {
      return nullptr;
    }
    name = text;
  }
  if (arg[1] != nullptr && arg[1] != Py_False && arg[1] != Py_True) {
    return nullptr;
  }
  // Reused, so that the lane makes no allocation for a long kit name; the GIL is held here.
  static std::string key;
  write_info_key(key, name, arg[1] == Py_True);
  return self.fresh_envelope(key);
}

}  // namespace

void export_aakit(py::module_& m) {
  py::class_<Manager> cls(m, "AAKitTableManager",
                          "Antenna-array kit tables: listing, selection, info, and the "
                          "custom kits a user creates, renames, saves and deletes.");
  cls.attr("__module__") = "arvcore.vlndev.VLNTableManager";
  cls.def(py::init([](std::int64_t devtype, std::int64_t total_ch, std::string path,
                      std::int64_t num_polar, const py::object& support_dev, bool is_web_mode) {
            // Every manager gets a list of its own: the default list is only read. None, as
            // the empty list, supports no device type.
            return std::make_unique<Manager>(devtype, total_ch, std::move(path), num_polar,
                                             support_dev.is_none()
                                                 ? std::vector<std::int64_t>{}
                                                 : int_list_arg(support_dev, "support_dev"),
                                             is_web_mode);
          }),
          py::arg("devtype"), py::arg("total_ch"), py::arg("path") = "files/",
          py::arg("num_polar") = 1, py::arg("support_dev") = py::list(),
          py::arg("is_web_mode") = false)
      .def("parse", released<&AAKitTableManager::parse>())
      .def("_getAAKitTablePath", reading<&AAKitTableManager::_getAAKitTablePath>())
      .def(
          "getAAKitList",
          [](Manager& self, bool force_refresh, const py::object& callback) -> py::object {
            const auto fetch = fetching(callback);
            // A fetch, a refresh or a first listing fills the table.
            if (fetch || force_refresh || self.reading([&] { return self.AAKitTable().empty(); })) {
              // The fetch gets copies, and the table is read afresh after it.
              return to_python(self.locked([&] { return self.getAAKitList(force_refresh, fetch); },
                                           AtCallbacks::let_go));
            }
            return self.kept("list", kit_logger(), true,
                             [&] { return self.getAAKitList(false, nullptr); });
          },
          py::arg("force_refresh") = false, py::arg("callback") = py::none())
      .def("_selectAAKit", locked<&AAKitTableManager::_selectAAKit>(), py::arg("kitName"))
      .def(
          "getAAKitInfo",
          [](Manager& self, const std::optional<std::string>& kitName, bool local) {
            const std::string key =
                info_key(kitName ? std::optional<std::string_view>(*kitName) : std::nullopt, local);
            return self.kept(key, kit_logger(), !self.web_mode(),
                             [&] { return self.getAAKitInfo(kitName, local); });
          },
          py::arg("kitName") = py::none(), py::arg("local") = false)
      .def(
          "setAAKitInfo",
          [](Manager& self, const py::object& kitName, const py::object& spacing,
             const py::object& steeringH, const py::object& steeringV, const py::object& offsetTx,
             const py::object& offsetRx, std::int64_t custom, const py::object& callback,
             const py::object& dev_type, const py::object& newKitName) {
            require(py::isinstance<py::str>(kitName), "kitName", "str", kitName);
            require(py::isinstance<py::list>(spacing), "spacing", "list", spacing);
            require(py::isinstance<py::list>(steeringH), "steeringH", "list", steeringH);
            require(py::isinstance<py::list>(steeringV), "steeringV", "list", steeringV);
            const Value name = to_value(kitName, "kitName");
            const Value spacing_v = to_value(spacing, "spacing");
            const Value h = to_value(steeringH, "steeringH");
            const Value v = to_value(steeringV, "steeringV");
            const Value tx = to_value(offsetTx, "offsetTx");
            const Value rx = to_value(offsetRx, "offsetRx");
            const Value dev = to_value(dev_type, "dev_type");
            const Value new_name = to_value(newKitName, "newKitName");
            const auto forward = forwarding(callback);
            // A rename writes and deletes kit files; its forwarding gets copies, and the
            // deletion checks the table again after the save was forwarded.
            return self.released(
                [&] {
                  return self.setAAKitInfo(name, spacing_v, h, v, tx, rx, custom, forward, dev,
                                           new_name);
                },
                AtCallbacks::let_go);
          },
          py::arg("kitName"), py::arg("spacing"), py::arg("steeringH"), py::arg("steeringV"),
          py::arg("offsetTx"), py::arg("offsetRx"), py::arg("custom") = 1,
          py::arg("callback") = py::none(), py::arg("dev_type") = py::none(),
          py::arg("newKitName") = py::none())
      .def(
          "saveAAKitFile",
          [](Manager& self, const std::optional<std::string>& kitName, const py::object& callback,
             bool check, const py::object& context) {
            const Value ctx = to_value(context, "context");
            const auto forward = forwarding(callback);
            // The forwarding function gets a copy of the record and has the last word.
            return self.released([&] { return self.saveAAKitFile(kitName, forward, check, ctx); },
                                 AtCallbacks::let_go);
          },
          py::arg("kitName") = py::none(), py::arg("callback") = py::none(),
          py::arg("check") = true, py::arg("context") = py::none())
      .def(
          "deleteAAKitInfo",
          [](Manager& self, const std::string& kitName, const py::object& callback, bool check) {
            const auto forward = forwarding(callback);
            return self.released([&] { return self.deleteAAKitInfo(kitName, forward, check); },
                                 AtCallbacks::let_go);
          },
          py::arg("kitName"), py::arg("callback") = py::none(), py::arg("check") = true)
      .def(
          "computeAAKitFullName",
          [](const Manager&, const std::string& kitName) {
            return AAKitTableManager::computeAAKitFullName(kitName);
          },
          py::arg("kitName"))
      .def(
          "_AAKitTableManager__checkAAKitField",
          [](Manager& self, const std::string& field_name, const py::object& field) {
            const Value v = to_value(field, "field");
            return self.reading([&] { return self.checkAAKitField(field_name, v); });
          },
          py::arg("field_name"), py::arg("field"))
      .def(
          "_AAKitTableManager__checkAAKitTimeFormat",
          [](const Manager&, const std::string& time_str) {
            return AAKitTableManager::checkAAKitTimeFormat(time_str);
          },
          py::arg("time_str"))
      .def_property_readonly("_AAKitTable", reading<&AAKitTableManager::AAKitTable>())
      .def_property_readonly("_aakit_name", reading<&AAKitTableManager::aakit_name>())
      .def_property_readonly("_num_polarization", reading<&AAKitTableManager::num_polarization>());
  fastlane::install<Manager, &fast_kit_info>(cls, "getAAKitInfo");
}

}  // namespace arvcore::python
