// BeamPatternTableManager and the stand-in device functions fake_rf_layout, fake_check and
// fake_ic_check, as members of arvcore.vlndev.VLNTableManager.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "arvcore/vlndev/beam_pattern_table_manager.hpp"
#include "casters.hpp"
#include "exports.hpp"

namespace arvcore::python {
namespace {

using vlndev::BeamPatternTableManager;
using vlndev::BTSetOption;

/// A member of E's own class, or an int (or a member of the other RF mode enumeration, by its
/// value) left for the manager to convert, so that a value without a member is answered the
/// way the manager answers it.
template <NamedEnum E>
std::variant<E, std::int64_t> member_or_int(const py::handle& o, const char* what) {
  E member{};
  if (load_enum<E>(o, false, member)) {
    return member;
  }
  if (PyLong_Check(o.ptr()) && !is_enum_member(o.ptr())) {
    return int64_arg(o, what);
  }
  if (is_other_mode_member<E>(o.ptr())) {
    return int64_arg(o.attr("value"), what);
  }
  throw TypeError(fmt::format("{} must be a {} or an int, not {}", what, EnumTraits<E>::type_name,
                              Py_TYPE(o.ptr())->tp_name));
}

/// A beam id: an int, or another number truncated like int() does.
std::int64_t beam_id(const py::handle& id) {
  if (PyLong_Check(id.ptr())) {
    return int64_arg(id, "beamId");
  }
  if (PyFloat_Check(id.ptr())) {
    const double d = PyFloat_AS_DOUBLE(id.ptr());
    if (!std::isfinite(d) || std::fabs(d) >= 9.2e18) {
      throw ValueError(fmt::format("cannot convert float {} to integer", value::float_repr(d)));
    }
    return static_cast<std::int64_t>(std::trunc(d));
  }
  throw TypeError(fmt::format("beamId must be a number, not {}", Py_TYPE(id.ptr())->tp_name));
}

void require_or_none(const py::object& o, bool ok, const char* what, const char* type) {
  if (!o.is_none() && !ok) {
    throw TypeError(
        fmt::format("{} must be a {} or None, not {}", what, type, Py_TYPE(o.ptr())->tp_name));
  }
}

/// A callback whose answer goes back to Python untouched: the manager hands it on without
/// looking at it, so `answer` keeps the very object the callback returned.
vlndev::KwCallback passthrough(const py::object& fn, py::object& answer) {
  if (fn.is_none()) {
    return {};
  }
  return [fn, &answer](const Value& kwargs) {
    answer = fn(**to_python(kwargs));
    return RetType();
  };
}

vlndev::KwCallback optional_callback(const py::object& fn) {
  return fn.is_none() ? vlndev::KwCallback() : kw_callback(fn);
}

/// Python's RetType(data=...) around any object.
py::object ret_with_data(const py::object& data) {
  return py::reinterpret_borrow<py::object>(ret_type_class())(py::arg("data") = data);
}

BeamPatternTableManager make_manager(const Value& sn, const Value& devtype, std::int64_t num_beam,
                                     const py::object& rf_layout, const py::object& check_funcs,
                                     bool is_web_mode) {
  std::variant<vlndev::RfLayoutFn, Value> layout;
  if (PyCallable_Check(rf_layout.ptr()) != 0) {
    layout = layout_callback(rf_layout);
  } else {
    layout = to_value(rf_layout, "rf_layout");
  }
  std::optional<vlndev::CheckFuncs> funcs;
  if (!check_funcs.is_none()) {
    funcs = vlndev::CheckFuncs{
        positional_callback<RetType, RFMode, const Value&, const Value&, const Value&,
                            const Value&>(check_funcs.attr("__getitem__")(0)),
        positional_callback<RetType, RFMode, std::int64_t, const Value&, const Value&>(
            check_funcs.attr("__getitem__")(1))};
  }
  return BeamPatternTableManager(sn, devtype, num_beam, layout, std::move(funcs), is_web_mode);
}

}  // namespace

void export_beam(py::module_& m) {
  py::class_<BeamPatternTableManager> cls(m, "BeamPatternTableManager");
  cls.attr("__module__") = "arvcore.vlndev.VLNTableManager";
  cls.def(py::init(&make_manager), py::arg("sn"), py::arg("devtype"), py::arg("num_beam"),
          py::arg("rf_layout"), py::arg("check_funcs"), py::arg("is_web_mode") = false)
      .def("_updateFreq", &BeamPatternTableManager::_updateFreq, py::arg("freq"), py::arg("DR"),
           py::arg("comDR"), py::arg("eleDR"))
      .def("_updateAAKit", &BeamPatternTableManager::_updateAAKit, py::arg("kitName"))
      .def(
          "_load",
          [](BeamPatternTableManager& self, const Value& freq, const std::string& aakit,
             const py::object& callback) -> py::object {
            py::object answer;
            RetType ret = self._load(freq, aakit, passthrough(callback, answer));
            return callback.is_none() ? to_python(ret) : answer;
          },
          py::arg("freq"), py::arg("aakit") = "", py::arg("callback") = py::none())
      .def(
          "_saveToBeamTableFile",
          [](BeamPatternTableManager& self, const py::object& callback,
             const Value& new_table) -> py::object {
            py::object answer;
            RetType ret = self._saveToBeamTableFile(passthrough(callback, answer), new_table);
            return callback.is_none() ? to_python(ret) : answer;
          },
          py::arg("callback") = py::none(), py::arg("new_table") = py::none())
      .def("getBeamIdStorage", &BeamPatternTableManager::getBeamIdStorage)
      .def(
          "getBeamPattern",
          [](BeamPatternTableManager& self, const py::object& mode, std::int64_t beamId) {
            return self.getBeamPattern(member_or_int<RFMode>(mode, "mode"), beamId);
          },
          py::arg("mode"), py::arg("beamId"))
      .def(
          "setBeamPattern",
          [](BeamPatternTableManager& self, const py::object& mode, const py::object& beamId,
             const py::object& beamType, const py::object& config, const py::object& description,
             bool save) {
            require_or_none(config, PyDict_Check(config.ptr()) != 0, "config", "dict");
            require_or_none(description, PyUnicode_Check(description.ptr()) != 0, "description",
                            "str");
            return self.setBeamPattern(member_or_int<RFMode>(mode, "mode"), beam_id(beamId),
                                       member_or_int<BeamType>(beamType, "beamType"),
                                       to_value(config, "config"),
                                       to_value(description, "description"), save);
          },
          py::arg("mode"), py::arg("beamId"), py::arg("beamType"), py::arg("config") = py::none(),
          py::arg("description") = py::none(), py::arg("save") = true)
      .def(
          "_getBatchBeamPattern",
          [](BeamPatternTableManager& self, std::variant<vlndev::BTModeFilter, std::int64_t> filter,
             const py::object& callback) {
            return self._getBatchBeamPattern(filter, optional_callback(callback));
          },
          // The default is the value of BTModeFilter.ALL: the Python class may not exist yet
          // while the core loads.
          py::arg("mode_filter") = 3, py::arg("callback") = py::none())
      .def(
          "_setBatchBeamPattern",
          [](BeamPatternTableManager& self, const py::object& batch_config,
             std::variant<BTSetOption, std::int64_t> option,
             const py::object& callback) -> py::object {
            if (!PyDict_Check(batch_config.ptr())) {
              throw TypeError(fmt::format("batch_config must be a dict, not {}",
                                          Py_TYPE(batch_config.ptr())->tp_name));
            }
            const BTSetOption opt =
                std::holds_alternative<BTSetOption>(option)
                    ? std::get<BTSetOption>(option)
                    : vlndev::flag_from_value<BTSetOption>(std::get<std::int64_t>(option));
            const RetType ret = self._setBatchBeamPattern(to_value(batch_config, "batch_config"),
                                                          opt, optional_callback(callback));
            py::object answer = to_python(ret);
            // An echo answers the caller's own batch object, not a copy of it.
            if (ret.ok() && !vlndev::has_flag(opt, BTSetOption::SAVE) &&
                vlndev::has_flag(opt, BTSetOption::GET)) {
              answer.attr("RetData") = batch_config;
            }
            return answer;
          },
          py::arg("batch_config"), py::arg("option"), py::arg("callback"))
      .def_property_readonly("_BeamTable",
                             [](const BeamPatternTableManager& self) { return self.BeamTable(); });

  m.def("fake_rf_layout", [] { return py::make_tuple(4, 1, 4); });
  m.def(
      "fake_check",
      [](const py::object&, const py::object& b, const py::object& c, const py::object& d) {
        return ret_with_data(py::make_tuple(b, c, d));
      },
      py::arg("a"), py::arg("b"), py::arg("c"), py::arg("d"));
  m.def(
      "fake_ic_check",
      [](const py::object&, const py::object&, const py::object& c) { return ret_with_data(c); },
      py::arg("a"), py::arg("b"), py::arg("c"));
}

}  // namespace arvcore::python
