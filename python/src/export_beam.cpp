// BeamPatternTableManager and the stand-in device functions fake_rf_layout, fake_check and
// fake_ic_check, as members of arvcore.vlndev.VLNTableManager.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "arvcore/vlndev/beam_pattern_table_manager.hpp"
#include "casters.hpp"
#include "exports.hpp"
#include "fastlane.hpp"

namespace arvcore::python {
namespace {

using vlndev::BeamPatternTableManager;
using vlndev::BTSetOption;
using Manager = Guarded<BeamPatternTableManager>;

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
  return [fn = SharedObject(fn), &answer](const Value& kwargs) {
    InPython gil;
    answer = fn.get()(**to_python(kwargs));
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

std::unique_ptr<Manager> make_manager(const Value& sn, const Value& devtype, std::int64_t num_beam,
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
  return std::make_unique<Manager>(sn, devtype, num_beam, layout, std::move(funcs), is_web_mode);
}

const log::Logger& beam_logger() {
  static const log::Logger logger("BeamTbl");
  return logger;
}

/// The mode of a mode argument; none for an int that names no mode, which is left to the
/// manager to answer.
std::optional<RFMode> mode_of(const vlndev::RFModeArg& mode) {
  if (const auto* member = std::get_if<RFMode>(&mode)) {
    return *member;
  }
  for (const auto& [name, member] : enum_members<RFMode>()) {
    if (enum_value(member) == std::get<std::int64_t>(mode)) {
      return member;
    }
  }
  return std::nullopt;
}

/// The beams of one mode of the loaded table, or null when there is no such map.
const Value* mode_beams(const Manager& self, const std::string& mode) {
  const Value& table = self.BeamTable();
  if (!table.is_object()) {
    return nullptr;
  }
  const auto it = table.find(mode);
  return it != table.end() && it->is_object() ? &*it : nullptr;
}

std::string entry_slot(const std::string& mode, const std::string& id) {
  return "beam/" + mode + "/" + id;
}

std::string mode_slot(const std::string& mode) {
  return "batch/" + mode;
}

/// The manager's change count of the entry stored under `id`, a table key ("1", "2", ...).
std::uint64_t entry_generation(const Manager& self, RFMode mode, std::string_view id) {
  std::int64_t n = 0;
  const char* const end = id.data() + id.size();
  const auto [last, error] = std::from_chars(id.data(), end, n);
  // Only a key that is the very text of its number names that beam id.
  if (error != std::errc() || last != end || id.front() == '0') {
    return self.modeGeneration(mode);
  }
  return self.entryGeneration(mode, n);
}

/// The Python form of one stored beam entry, converted once per change of it.
py::object kept_entry(Manager& self, RFMode mode, const std::string& name, const std::string& id,
                      const Value& entry) {
  return self.cached(entry_slot(name, id), entry_generation(self, mode, id),
                     [&] { return to_python(entry); });
}

/// The mode map `old`, made at `generation`, with the entries changed since put in, as a new
/// dict (a caller may hold the old one); null when the map cannot be made that way.
py::object patched_mode(Manager& self, RFMode mode, const std::string& name, const Value& beams,
                        const py::object& old, std::uint64_t generation) {
  if (self.tableGeneration() > generation || !PyDict_Check(old.ptr())) {
    return {};
  }
  py::object out = py::reinterpret_steal<py::object>(PyDict_Copy(old.ptr()));
  if (!out) {
    throw py::error_already_set();
  }
  const auto counters = self.entryGenerations(mode);
  for (std::size_t n = 1; n < counters.size(); ++n) {
    if (counters[n] <= generation) {
      continue;
    }
    const std::string id = std::to_string(n);
    const py::str key(id);
    const auto it = beams.find(id);
    if (it != beams.end()) {
      if (PyDict_SetItem(out.ptr(), key.ptr(), kept_entry(self, mode, name, id, *it).ptr()) != 0) {
        throw py::error_already_set();
      }
    } else if (PyDict_DelItem(out.ptr(), key.ptr()) != 0) {
      PyErr_Clear();
    }
  }
  if (PyDict_GET_SIZE(out.ptr()) !=
      static_cast<Py_ssize_t>(beams.get_ptr<const Value::object_t*>()->size())) {
    return {};
  }
  return out;
}

/// The Python map of one mode's beams, made once per change of the mode: from the map made
/// before and the entries changed since when the manager's counters allow, else from the
/// kept entries.
py::object kept_mode(Manager& self, RFMode mode, const std::string& name, const Value& beams) {
  return self.cached(mode_slot(name), self.modeGeneration(mode), [&]() -> py::object {
    if (const KeptAnswer* before = self.kept_at(mode_slot(name)); before && before->data) {
      const py::object old = before->data;
      if (py::object out = patched_mode(self, mode, name, beams, old, before->generation)) {
        return out;
      }
    }
    py::dict made;
    for (const auto& [id, entry] : *beams.get_ptr<const Value::object_t*>()) {
      made[py::str(id)] = kept_entry(self, mode, name, id, entry);
    }
    return made;
  });
}

/// Keeps the mode maps of the manager's whole table, just converted, as the batch answers of
/// their modes: a batch after a load whose table was read then costs no second conversion.
void keep_mode_maps(Manager& self, const py::object& table) {
  if (!PyDict_Check(table.ptr())) {
    return;
  }
  for (const auto& [name_view, member] : enum_members<RFMode>()) {
    const std::string name(name_view);
    PyObject* const beams = PyDict_GetItemString(table.ptr(), name.c_str());
    if (beams == nullptr || !PyDict_Check(beams) || mode_beams(self, name) == nullptr) {
      continue;
    }
    self.cached(mode_slot(name), self.modeGeneration(member),
                [&] { return py::reinterpret_borrow<py::object>(beams); });
  }
}

/// A table on its way to Python, converted when the envelope's RetData is first read: a
/// load's caller usually checks only the result code. Either a table of its own, or the
/// manager's table through a snapshot (no copy unless the manager changes first).
struct PendingTable {
  std::shared_ptr<const Value> table;
  py::object owner;
  std::shared_ptr<TableSnapshot> snapshot;

  py::object convert() const {
    if (table) {
      return to_python(*table);
    }
    Manager& self = owner.cast<Manager&>();
    return self.reading([&] {
      // Without a copy, the snapshot still is the manager's table, unchanged since the load.
      const bool current = !snapshot->copy;
      py::object out = to_python(current ? self.BeamTable() : *snapshot->copy);
      snapshot->read = true;
      snapshot->copy.reset();
      if (current) {
        keep_mode_maps(self, out);
      }
      return out;
    });
  }
};

}  // namespace
}  // namespace arvcore::python

ARVCORE_BUILT_ONLY(arvcore::python::PendingTable);

namespace arvcore::python {
namespace {

inline constexpr char results_module[] = "arvcore._results";
inline constexpr char lazy_ret_type[] = "LazyRetType";

py::object lazy_answer(const RetType& ret, PendingTable pending) {
  return py::reinterpret_borrow<py::object>(cached_attr<results_module, lazy_ret_type>())(
      py_enum_member(ret.RetCode), message_of(ret.RetMsg), py::cast(std::move(pending)));
}

/// The answer of a batch the manager made: a successful table stays in its core form until
/// read.
py::object table_answer(RetType&& ret) {
  if (!ret.ok() || !ret.RetData.is_object()) {
    return to_python(ret);
  }
  auto table = std::make_shared<const Value>(std::move(ret.RetData));
  return lazy_answer(ret, PendingTable{std::move(table), {}, {}});
}

py::object ok_envelope(py::handle data) {
  return make_envelope(py_enum_member(RetCode::OK), message_of(std::string()), data);
}

// A stored entry is answered from its kept Python form; everything else (default beams,
// failures) by the manager.
py::object get_beam_pattern(Manager& self, const py::object& mode, std::int64_t beamId) {
  const auto m = member_or_int<RFMode>(mode, "mode");
  return self.reading([&]() -> py::object {
    const std::optional<RFMode> mode = mode_of(m);
    if (mode && beamId >= 1 && beamId <= self.num_beam()) {
      const std::string key(enum_name(*mode));
      if (const Value* beams = mode_beams(self, key)) {
        const std::string id = std::to_string(beamId);
        if (const auto it = beams->find(id); it != beams->end()) {
          return ok_envelope(kept_entry(self, *mode, key, id, *it));
        }
      }
    }
    return to_python(self.getBeamPattern(m, beamId));
  });
}

// Without a callback and without info records to write, the batch is made of the kept mode
// maps; otherwise the manager answers.
py::object get_batch_beam_pattern(Manager& self,
                                  const std::variant<vlndev::BTModeFilter, std::int64_t>& filter,
                                  const py::object& callback) {
  if (callback.is_none() && !beam_logger().enabled(log::Level::info)) {
    py::object fast = self.reading([&]() -> py::object {
      const vlndev::BTModeFilter f =
          std::holds_alternative<vlndev::BTModeFilter>(filter)
              ? std::get<vlndev::BTModeFilter>(filter)
              : vlndev::flag_from_value<vlndev::BTModeFilter>(std::get<std::int64_t>(filter));
      py::dict out;
      for (const auto& [name_view, member] : enum_members<RFMode>()) {
        const std::string name(name_view);
        if (!vlndev::has_flag(f, enum_from_name<vlndev::BTModeFilter>(name_view))) {
          continue;
        }
        const Value* beams = mode_beams(self, name);
        if (beams == nullptr) {
          return py::object();
        }
        out[py::str(name)] = kept_mode(self, member, name, *beams);
      }
      return ok_envelope(out);
    });
    if (fast) {
      return fast;
    }
  }
  const auto fetch = optional_callback(callback);
  // The web layer gets a copy of the request; its table is stored after it answered.
  return table_answer(
      self.released([&] { return self._getBatchBeamPattern(filter, fetch); }, AtCallbacks::let_go));
}

// --- fast lanes (see fastlane.hpp) ----------------------------------------------------------

// A stored entry asked for by an RFMode member and an int id.
PyObject* fast_beam_pattern(Manager& self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr std::array<std::string_view, 2> names{"mode", "beamId"};
  std::array<PyObject*, 2> arg{};
  std::int64_t id = 0;
  if (!fastlane::sort_args(args, nargs, kwnames, names, arg) || arg[0] == nullptr ||
      arg[1] == nullptr || !fastlane::exact_int(arg[1], id) || id < 1 || id > self.num_beam()) {
    return nullptr;
  }
  for (const auto& [name, member] : enum_members<RFMode>()) {
    if (py_enum_member(member).ptr() == arg[0]) {
      const py::object* kept = self.cached_at(entry_slot(std::string(name), std::to_string(id)),
                                              self.entryGeneration(member, id));
      return kept == nullptr ? nullptr : ok_envelope(*kept).release().ptr();
    }
  }
  return nullptr;
}

// The batch of kept mode maps, for a filter given as a BTModeFilter member or its int, and no
// callback.
PyObject* fast_batch_beam_pattern(Manager& self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr std::array<std::string_view, 2> names{"mode_filter", "callback"};
  std::array<PyObject*, 2> arg{};
  if (beam_logger().enabled(log::Level::info) ||
      !fastlane::sort_args(args, nargs, kwnames, names, arg) ||
      (arg[1] != nullptr && arg[1] != Py_None)) {
    return nullptr;
  }
  std::int64_t filter = enum_value(vlndev::BTModeFilter::ALL);
  if (arg[0] != nullptr) {
    bool member = false;
    for (const auto& [name, m] : enum_members<vlndev::BTModeFilter>()) {
      if (py_enum_member(m).ptr() == arg[0]) {
        filter = enum_value(m);
        member = true;
      }
    }
    if (!member && (!fastlane::exact_int(arg[0], filter) || filter < 1 ||
                    filter > enum_value(vlndev::BTModeFilter::ALL))) {
      return nullptr;
    }
  }
  const auto f = vlndev::flag_from_value<vlndev::BTModeFilter>(filter);
  py::dict out;
  for (const auto& [name, member] : enum_members<RFMode>()) {
    if (!vlndev::has_flag(f, enum_from_name<vlndev::BTModeFilter>(name))) {
      continue;
    }
    const py::object* kept =
        self.cached_at(mode_slot(std::string(name)), self.modeGeneration(member));
    if (kept == nullptr) {
      return nullptr;
    }
    out[py::str(std::string(name))] = *kept;
  }
  return ok_envelope(out).release().ptr();
}

}  // namespace

void export_beam(py::module_& m) {
  py::class_<PendingTable>(m, "_PendingTable").def("__call__", &PendingTable::convert);

  py::class_<Manager> cls(m, "BeamPatternTableManager",
                          "The beam pattern table of one device per frequency and kit: "
                          "loading, default patterns, and checked single and batch sets.");
  cls.attr("__module__") = "arvcore.vlndev.VLNTableManager";
  cls.def(py::init(&make_manager), py::arg("sn"), py::arg("devtype"), py::arg("num_beam"),
          py::arg("rf_layout"), py::arg("check_funcs"), py::arg("is_web_mode") = false)
      .def("_updateFreq", locked<&BeamPatternTableManager::_updateFreq>(), py::arg("freq"),
           py::arg("DR"), py::arg("comDR"), py::arg("eleDR"))
      .def("_updateAAKit", locked<&BeamPatternTableManager::_updateAAKit>(), py::arg("kitName"))
      .def(
          "_load",
          [](Manager& self, const Value& freq, const std::string& aakit,
             const py::object& callback) -> py::object {
            py::object answer;
            const auto forward = passthrough(callback, answer);
            if (!callback.is_none()) {
              // The web layer gets a copy of the request and has the last word.
              self.released([&] { return self._load(freq, aakit, forward); }, AtCallbacks::let_go);
              return answer;
            }
            // The loaded table is answered through a snapshot taken under the same lock. What
            // was kept of the table being replaced goes first (after the lock), so that the
            // old and new tables are not held in Python side by side.
            std::shared_ptr<TableSnapshot> snapshot;
            const auto load = [&] {
              RetType loaded = self._load(freq, aakit, nullptr, false);
              if (loaded.ok()) {
                snapshot = self.share_table();
              }
              return loaded;
            };
            KeptAnswers replaced;
            const RetType ret = self.released_after([&] { replaced = self.forget_kept(); }, load);
            replaced.clear();
            if (!snapshot) {
              return to_python(ret);
            }
            return lazy_answer(
                ret,
                PendingTable{
                    {}, py::cast(&self, py::return_value_policy::reference), std::move(snapshot)});
          },
          py::arg("freq"), py::arg("aakit") = "", py::arg("callback") = py::none())
      .def(
          "_saveToBeamTableFile",
          [](Manager& self, const py::object& callback, const Value& new_table) -> py::object {
            py::object answer;
            const auto forward = passthrough(callback, answer);
            RetType ret = self.released(
                [&] { return self._saveToBeamTableFile(forward, new_table); }, AtCallbacks::let_go);
            return callback.is_none() ? to_python(ret) : answer;
          },
          py::arg("callback") = py::none(), py::arg("new_table") = py::none())
      .def("getBeamIdStorage", reading<&BeamPatternTableManager::getBeamIdStorage>())
      .def("getBeamPattern", &get_beam_pattern, py::arg("mode"), py::arg("beamId"))
      .def(
          "setBeamPattern",
          [](Manager& self, const py::object& mode, const py::object& beamId,
             const py::object& beamType, const py::object& config, const py::object& description,
             bool save) {
            require_or_none(config, PyDict_Check(config.ptr()) != 0, "config", "dict");
            require_or_none(description, PyUnicode_Check(description.ptr()) != 0, "description",
                            "str");
            const auto m = member_or_int<RFMode>(mode, "mode");
            const std::int64_t id = beam_id(beamId);
            const auto type = member_or_int<BeamType>(beamType, "beamType");
            const Value c = to_value(config, "config");
            const Value d = to_value(description, "description");
            const auto set = [&] { return self.setBeamPattern(m, id, type, c, d, save); };
            // The device checks get copies, and the entry is stored in the table as it is
            // after them. Only a save (the whole table written out) is long enough to let the
            // GIL go.
            if (save) {
              return self.released(set, AtCallbacks::let_go);
            }
            return self.locked(set, AtCallbacks::let_go);
          },
          py::arg("mode"), py::arg("beamId"), py::arg("beamType"), py::arg("config") = py::none(),
          py::arg("description") = py::none(), py::arg("save") = true)
      .def("_getBatchBeamPattern", &get_batch_beam_pattern,
           // The default is the value of BTModeFilter.ALL, which its description names: the
           // Python class may not exist yet while the core loads.
           py::arg_v("mode_filter", 3, "arvcore.vlndev.VLNTableManager.BTModeFilter.ALL"),
           py::arg("callback") = py::none())
      .def(
          "_setBatchBeamPattern",
          [](Manager& self, const py::object& batch_config,
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
            const Value batch = to_value(batch_config, "batch_config");
            const auto forward = optional_callback(callback);
            // Each entry is checked on a copy and stored in the table as it is after its checks.
            const RetType ret =
                self.released([&] { return self._setBatchBeamPattern(batch, opt, forward); },
                              AtCallbacks::let_go);
            py::object answer = to_python(ret);
            // An echo answers the caller's own batch object, not a copy of it.
            if (ret.ok() && !vlndev::has_flag(opt, BTSetOption::SAVE) &&
                vlndev::has_flag(opt, BTSetOption::GET)) {
              answer.attr("RetData") = batch_config;
            }
            return answer;
          },
          py::arg("batch_config"), py::arg("option"), py::arg("callback"))
      .def_property_readonly("_BeamTable", reading<&BeamPatternTableManager::BeamTable>());
  fastlane::install<Manager, &fast_beam_pattern>(cls, "getBeamPattern");
  fastlane::install<Manager, &fast_batch_beam_pattern>(cls, "_getBatchBeamPattern");

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
