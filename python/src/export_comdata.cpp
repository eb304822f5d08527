// CalibrationTableManager._getComData in Python: the full path, and the fast lane that answers
// a local fetch straight from the table's arrays.
//
// A device fetches the ComData of its whole chain each time it applies a beam, so the call is
// as hot as the small getters. The lane remembers, per table, where each step and channel key
// it was asked for sits and the numbers of each entry as Python objects, so that a fetch costs
// little more than making the caller's own dicts and lists.

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"
#include "arvcore/vlndev/detail/calibration_queries.hpp"
#include "casters.hpp"
#include "comdata_numbers.hpp"
#include "exports.hpp"
#include "fastlane.hpp"

namespace py = pybind11;

namespace arvcore::python {
namespace {

using vlndev::CalibrationTableManager;
using vlndev::detail::CaliData;
using Manager = Guarded<CalibrationTableManager>;

// --- full path ------------------------------------------------------------------------------

// The list arguments of the ComData fetch are refused unless they are lists, before anything
// runs.
Value list_argument(const py::object& o, std::string_view name) {
  if (!PyList_Check(o.ptr())) {
    throw TypeError(fmt::format("{} must be a list, not '{}'", name, detail::type_name_of(o)));
  }
  return to_value(o, name);
}

// Builds the Python result of a local fetch straight from the table's entries, without an
// intermediate result value.
class PyReceiver final : public vlndev::ComDataReceiver {
 public:
  void beginBoard() override { board_ = py::dict(); }
  void beginStep(const std::string& step, std::size_t /*expected*/) override {
    current_ = py::list();
    board_[py::str(step)] = current_;
  }
  void entry(const Value& e) override {
    py::object o = to_python(e);
    if (PyList_Append(current_.ptr(), o.ptr()) != 0) {
      throw py::error_already_set();
    }
  }
  void entry(const vlndev::detail::ComDataNumbers& e) override {
    const py::list o = comdata_list(e);
    if (PyList_Append(current_.ptr(), o.ptr()) != 0) {
      throw py::error_already_set();
    }
  }
  void endBoard() override { result.append(board_); }

  py::list result;

 private:
  py::dict board_;
  py::list current_;
};

py::object get_com_data(Manager& self, const std::string& rf_mode_str, std::int64_t board,
                        std::int64_t chip, const py::object& channel, const py::object& gain,
                        const py::object& phase, const py::object& com_list) {
  const Value c = list_argument(channel, "channel");
  const Value g = list_argument(gain, "gain");
  const Value p = list_argument(phase, "phase");
  const Value s = list_argument(com_list, "com_list");
  return self.reading(
      [&]() -> py::object {
        if (self.web_mode() && self.db() != nullptr) {
          return to_python(self._getComData(rf_mode_str, board, chip, c, g, p, s));
        }
        PyReceiver receiver;
        vlndev::fetchComDataLocal(self, rf_mode_str, board, chip, c, g, p, s, receiver);
        return std::move(receiver.result);
      },
      kAtQueries);
}

// --- fast lane (see fastlane.hpp) -----------------------------------------------------------
//
// The lane answers a local fetch whose every key and step is in the table, with plain ints
// and floats in plain lists, while no debug record is to be written. Anything else (a missing
// key or step, which the full path logs; a short list; other kinds of numbers) takes the full
// path, which then tells the caller what it told before.

/// A list of `n` Nones.
py::list none_list(std::size_t n) {
  py::list out(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), py::none().release().ptr());
  }
  return out;
}

/// Whether the table's tree holds the chip map at `place` (section, mode, chip key), which
/// the full path looks up before it reads a step.
bool has_chip_map(const Value& header, const std::array<std::string_view, 3>& place) {
  const Value* at = &header;
  for (const std::string_view key : place) {
    const auto* map = at->get_ptr<const Value::object_t*>();
    if (map == nullptr) {
      return false;
    }
    const auto it = map->find(key);
    if (it == map->end()) {
      return false;
    }
    at = &it->second;
  }
  return true;
}

/// What the lane learnt of one table: the step of each place asked for, the number of each
/// channel key asked for, and each entry answered as a Python list (which answers copy). Made anew
/// when the table changes (it is kept with the manager's kept answers); used with the GIL and the
/// lock.
class TableMemo {
 public:
  explicit TableMemo(const CalibrationTableManager& m)
      : data_(*m.caliData()),
        header_(m.caliTableHeader()),
        entries_(none_list(data_.steps().size())) {}

  /// The step at board `board`, mode `mode`, chip `chip`, step `com`, or kNone.
  std::uint32_t step(std::int64_t board, std::int64_t chip, std::string_view mode,
                     std::string_view com) {
    for (const Place& p : places_) {
      if (p.board == board && p.chip == chip && p.mode == mode && p.com == com) {
        return p.step;
      }
    }
    const std::string section = "BOARD_" + std::to_string(board);
    const std::string chip_key = "DATA_CHIP_" + std::to_string(chip);
    const CaliData::Step* found = has_chip_map(header_, {section, mode, chip_key})
                                      ? data_.find_step(section, mode, chip_key, com)
                                      : nullptr;
    if (found == nullptr) {
      return CaliData::kNone;
    }
    const auto index = static_cast<std::uint32_t>(found - data_.steps().data());
    if (places_.size() < kMostPlaces) {
      places_.push_back({board, chip, std::string(mode), std::string(com), index});
    }
    return index;
  }

  /// The number of the channel key of `channel`, gain step `gain_step` and an integer phase,
  /// or kNone.
  std::uint32_t key(std::int64_t channel, std::int64_t gain_step, std::int64_t phase) {
    const std::optional<std::uint64_t> packed = pack(channel, gain_step, phase);
    KeySlot* slot = packed ? &keys_[(*packed * 0x9E3779B97F4A7C15ULL) >> (64 - kKeyBits)] : nullptr;
    if (slot != nullptr && slot->packed == *packed) {
      return slot->key;
    }
    char text[vlndev::detail::kChannelKeyRoom];
    char* end = vlndev::detail::write_key_prefix(text, channel, gain_step);
    end = std::to_chars(end, end + 21, phase).ptr;
    const std::uint32_t key =
        data_.key_of(std::string_view(text, static_cast<std::size_t>(end - text)));
    if (slot != nullptr) {
      *slot = {*packed, key};
    }
    return key;
  }

  const CaliData& data() const { return data_; }
  /// Whether this is the memo of the table `m` holds.
  bool of(const CalibrationTableManager& m) const {
    return m.caliData() == &data_ && &m.caliTableHeader() == &header_;
  }
  /// Room for the key numbers of one board, reused from fetch to fetch.
  std::vector<std::uint32_t>& board_keys() { return board_keys_; }

  /// Entry `pos` of step `step` as a Python list (borrowed; answers copy it).
  PyObject* entry(std::uint32_t step, std::uint32_t pos) {
    const CaliData::Step& s = data_.steps()[step];
    PyObject* of_step = PyList_GET_ITEM(entries_.ptr(), step);
    if (of_step == Py_None) {
      of_step = none_list(s.size()).release().ptr();
      PyList_SetItem(entries_.ptr(), step, of_step);
    }
    PyObject* entry = PyList_GET_ITEM(of_step, pos);
    if (entry == Py_None) {
      entry = comdata_list(s.at(pos)).release().ptr();
      PyList_SetItem(of_step, pos, entry);
    }
    return entry;
  }

 private:
  struct Place {
    std::int64_t board, chip;
    std::string mode, com;
    std::uint32_t step;
  };
  // Places are few (boards times steps of a device); a host that asks for ever new ones
  // still gets its answers, found afresh.
  static constexpr std::size_t kMostPlaces = 256;

  // Keys found lately, direct-mapped by their numbers packed in one word: a slot keeps the last
  // key that hashed to it. A word no packing makes marks an empty slot.
  struct KeySlot {
    std::uint64_t packed = ~std::uint64_t{0};
    std::uint32_t key = CaliData::kNone;
  };
  static constexpr unsigned kKeyBits = 10;

  // The three numbers of a key in one word, when they fit as they do in every real table.
  static std::optional<std::uint64_t> pack(std::int64_t channel, std::int64_t gain_step,
                                           std::int64_t phase) {
    constexpr std::int64_t kHalf = std::int64_t{1} << 23;
    if (channel < 0 || channel >= (1 << 16) || gain_step < -kHalf || gain_step >= kHalf ||
        phase < -kHalf || phase >= kHalf) {
      return std::nullopt;
    }
    return static_cast<std::uint64_t>(channel) << 48 |
           static_cast<std::uint64_t>(gain_step + kHalf) << 24 |
           static_cast<std::uint64_t>(phase + kHalf);
  }

  const CaliData& data_;
  const Value& header_;
  py::list entries_;  // per step: None, or a list with a slot per entry
  std::vector<Place> places_;
  std::vector<std::uint32_t> board_keys_;
  std::array<KeySlot, std::size_t{1} << kKeyBits> keys_{};
};

/// The memo of the manager's current table.
TableMemo& table_memo(Manager& self) {
  const py::object kept = self.cached("ComData memo", self.generation(), [&] {
    return py::capsule(new TableMemo(self), [](void* p) { delete static_cast<TableMemo*>(p); });
  });
  return *static_cast<TableMemo*>(PyCapsule_GetPointer(kept.ptr(), nullptr));
}

/// The arguments of a fetch the lane can answer.
struct ChainArgs {
  std::string_view mode;
  std::int64_t boards = 0;
  std::int64_t chip = 0;
  PyObject* channel = nullptr;
  PyObject* gain = nullptr;
  PyObject* phase = nullptr;
  PyObject* com_list = nullptr;
};

bool chain_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ChainArgs& out) {
  static constexpr std::array<std::string_view, 7> names{
      "rf_mode_str", "board", "chip", "channel", "gain", "phase", "com_list"};
  std::array<PyObject*, 7> arg{};
  if (!fastlane::sort_args(args, nargs, kwnames, names, arg)) {
    return false;
  }
  for (PyObject* a : std::span(arg).subspan(3)) {
    if (a == nullptr || !PyList_CheckExact(a)) {
      return false;
    }
  }
  out.channel = arg[3];
  out.gain = arg[4];
  out.phase = arg[5];
  out.com_list = arg[6];
  return arg[0] != nullptr && fastlane::exact_str(arg[0], out.mode) && arg[1] != nullptr &&
         fastlane::exact_int(arg[1], out.boards) && arg[2] != nullptr &&
         fastlane::exact_int(arg[2], out.chip);
}

/// Item `number` - 1 of `list`, for a number from 1 to its size; else null.
PyObject* numbered_item(PyObject* list, std::int64_t number) {
  return number >= 1 && number <= PyList_GET_SIZE(list) ? PyList_GET_ITEM(list, number - 1)
                                                        : nullptr;
}

/// The key gain part of a plain int or float gain.
bool gain_step(PyObject* gain, std::int64_t& out) {
  if (PyFloat_CheckExact(gain)) {
    const auto step = vlndev::detail::gain_step_of(PyFloat_AS_DOUBLE(gain));
    out = step.value_or(0);
    return step.has_value();
  }
  std::int64_t v = 0;
  constexpr std::int64_t kLimit = INT64_MAX / 10;
  if (!fastlane::exact_int(gain, v) || v > kLimit || v < -kLimit) {
    return false;
  }
  out = v * 10;
  return true;
}

/// The key phase part of a plain int phase, or of a whole-number float one (45.0, as numpy
/// gives), which names the same key.
bool phase_number(PyObject* phase, std::int64_t& out) {
  if (PyFloat_CheckExact(phase)) {
    const auto whole = vlndev::detail::whole_phase(PyFloat_AS_DOUBLE(phase));
    out = whole.value_or(0);
    return whole.has_value();
  }
  return fastlane::exact_int(phase, out);
}

/// The key numbers of one board's channels, in channel order; false when one is not found.
bool channel_keys(TableMemo& memo, PyObject* channels, PyObject* gains, PyObject* phases,
                  std::vector<std::uint32_t>& keys) {
  if (!PyList_CheckExact(gains) || !PyList_CheckExact(phases)) {
    return false;
  }
  keys.clear();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(channels); ++i) {
    std::int64_t channel = 0;
    std::int64_t step = 0;
    std::int64_t phase = 0;
    if (!fastlane::exact_int(PyList_GET_ITEM(channels, i), channel)) {
      return false;
    }
    PyObject* const gain = numbered_item(gains, channel);
    PyObject* const ph = numbered_item(phases, channel);
    if (gain == nullptr || ph == nullptr || !gain_step(gain, step) || !phase_number(ph, phase)) {
      return false;
    }
    keys.push_back(memo.key(channel, step, phase));
    if (keys.back() == CaliData::kNone) {
      return false;
    }
  }
  return true;
}

/// A new list of the items of `list`: the caller's own, so that changing it changes no later
/// answer.
PyObject* copy_of(PyObject* list) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  PyObject* const out = PyList_New(n);
  if (out == nullptr) {
    throw py::error_already_set();
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* const item = PyList_GET_ITEM(list, i);
    Py_INCREF(item);
    PyList_SET_ITEM(out, i, item);
  }
  return out;
}

/// The map of board `board` (1-based): each step of `steps` once, to its entries under
/// `keys`; null when a step or an entry is not found.
py::object board_map(TableMemo& memo, const ChainArgs& a, std::int64_t board, PyObject* steps,
                     const std::vector<std::uint32_t>& keys) {
  py::dict out;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps); ++i) {
    PyObject* const name = PyList_GET_ITEM(steps, i);
    std::string_view step_name;
    if (!fastlane::exact_str(name, step_name)) {
      return {};
    }
    if (PyDict_Contains(out.ptr(), name) == 1) {
      continue;  // a repeated step answers the same keys again
    }
    const std::uint32_t step = memo.step(board, a.chip, a.mode, step_name);
    if (step == CaliData::kNone) {
      return {};
    }
    py::list entries(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const std::uint32_t pos = memo.data().steps()[step].position(keys[k]);
      if (pos == CaliData::kNone) {
        return {};
      }
      PyList_SET_ITEM(entries.ptr(), static_cast<Py_ssize_t>(k), copy_of(memo.entry(step, pos)));
    }
    if (PyDict_SetItem(out.ptr(), name, entries.ptr()) != 0) {
      throw py::error_already_set();
    }
  }
  return out;
}

PyObject* fast_com_data(Manager& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ChainArgs a;
  if (self.web_mode() || cali_logger().enabled(log::Level::debug) ||
      !chain_args(args, nargs, kwnames, a)) {
    return nullptr;
  }
  return self.reading([&]() -> PyObject* {
    if (self.caliData() == nullptr) {
      return nullptr;
    }
    TableMemo& memo = table_memo(self);
    if (!memo.of(self)) {
      return nullptr;  // a change the count missed: not a table to answer from
    }
    std::vector<std::uint32_t>& keys = memo.board_keys();
    py::list result;
    for (std::int64_t board = 1; board <= a.boards; ++board) {
      PyObject* const gains = numbered_item(a.gain, board);
      PyObject* const phases = numbered_item(a.phase, board);
      PyObject* const steps = numbered_item(a.com_list, board);
      if (gains == nullptr || phases == nullptr || steps == nullptr || !PyList_CheckExact(steps)) {
        return nullptr;
      }
      keys.clear();
      if (PyList_GET_SIZE(steps) != 0 && !channel_keys(memo, a.channel, gains, phases, keys)) {
        return nullptr;
      }
      const py::object map = board_map(memo, a, board, steps, keys);
      if (!map) {
        return nullptr;
      }
      result.append(map);
    }
    return result.release().ptr();
  });
}

}  // namespace

void export_comdata(py::module_& m) {
  auto cls = py::reinterpret_borrow<py::class_<Manager>>(m.attr("CalibrationTableManager"));
  cls.def("_getComData", &get_com_data, py::arg("rf_mode_str"), py::arg("board"), py::arg("chip"),
          py::arg("channel"), py::arg("gain"), py::arg("phase"), py::arg("com_list"),
          "ComData entries of a whole chain: per board, each step's entries in channel order.\n\n"
          "A whole-number float phase (45.0, as numpy gives) is looked up as the integer the "
          "table's keys hold (45); any other phase (22.5) keeps its text. A channel whose key the "
          "table lacks is logged and left out of its step's entries.");
  fastlane::install<Manager, &fast_com_data>(cls, "_getComData");
}

}  // namespace arvcore::python
