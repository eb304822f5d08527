// CalibrationTableManager queries in Python: dynamic ranges, offsets, TC and common-arm step
// search, added to the class that export_calibration made (ComData: export_comdata.cpp).

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <pybind11/stl.h>

#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "casters.hpp"
#include "exports.hpp"
#include "fastlane.hpp"

namespace py = pybind11;

namespace arvcore::python {
namespace {

using vlndev::CalibrationTableManager;
using Manager = Guarded<CalibrationTableManager>;

using ModeOrInt = std::variant<RFMode, std::int64_t>;

// Web-mode answers come from the database on every call; local ones are kept.
template <class Query>
py::object dynamic_range(Manager& self, const std::string& key, Query query) {
  return self.kept(
      key, cali_logger(), !self.web_mode(), [&] { return (self.*query)(); }, kAtQueries);
}

// The key a getDR answer is kept under.
std::string dr_key(const vlndev::ModeArg& rf_mode) {
  std::string key = "DR/" + std::to_string(rf_mode.index());
  std::visit(
      [&](auto mode) {
        if constexpr (!std::is_same_v<decltype(mode), std::monostate>) {
          key += "/" + std::to_string(static_cast<std::int64_t>(mode));
        }
      },
      rf_mode);
  return key;
}

py::object get_dr(Manager& self, const vlndev::ModeArg& rf_mode) {
  return self.kept(
      dr_key(rf_mode), cali_logger(), !self.web_mode(), [&] { return self.getDR(rf_mode); },
      kAtQueries);
}

// The key an offsets answer is kept under.
// Appends "/" and the digits of `n` to `key`.
void append_part(std::string& key, std::int64_t n) {
  char digits[24];
  key.push_back('/');
  key.append(digits, std::to_chars(digits, std::end(digits), n).ptr);
}

// Writes the key of kept offset lists into `key`: the mode, the chip, then each board as
// `board_at(i)` gives it for i below `count`.
template <class BoardAt>
void write_offset_key(std::string& key, std::string_view rf_mode_str, std::int64_t chip,
                      std::size_t count, BoardAt&& board_at) {
  key.assign("offset/").append(rf_mode_str);
  append_part(key, chip);
  for (std::size_t i = 0; i < count; ++i) {
    append_part(key, board_at(i));
  }
}

std::string offset_key(std::string_view rf_mode_str, std::int64_t chip,
                       const std::vector<std::int64_t>& boards) {
  std::string key;
  write_offset_key(key, rf_mode_str, chip, boards.size(),
                   [&boards](std::size_t i) { return boards[i]; });
  return key;
}

// Answers kept for local tables, while no info record is to be written.
bool lane_open(const Manager& self) {
  return !self.web_mode() && !cali_logger().enabled(log::Level::info);
}

// The offset lists of a set of boards, kept like an answer (this call answers them bare).
py::object boards_offset(Manager& self, const py::object& boards_arg,
                         const std::string& rf_mode_str, std::int64_t chip) {
  const std::vector<std::int64_t> boards = int_list_arg(boards_arg, "boards");
  return self.kept_data(
      offset_key(rf_mode_str, chip, boards), lane_open(self),
      [&]() -> std::pair<py::object, bool> {
        auto answer = self._getBoardsOffset(boards, rf_mode_str, chip);
        if (const auto* failed = std::get_if<RetType>(&answer)) {
          return {to_python(*failed), false};
        }
        return {to_python(std::get<Value>(answer)), true};
      },
      kAtQueries);
}

// The common-arm steps of one board and mode, kept for searches: their ranges as numbers and
// their names as Python texts, made once per table.
struct KeptSteps {
  std::vector<double> upper;
  std::vector<double> lower;
  py::list names;
};

std::string steps_key(std::int64_t board, std::string_view rf_mode_str) {
  std::string key = "comstep/";
  key += rf_mode_str;
  key += "/" + std::to_string(board);
  return key;
}

const KeptSteps& kept_steps(const py::object& kept) {
  return *static_cast<const KeptSteps*>(PyCapsule_GetPointer(kept.ptr(), nullptr));
}

// The names of the kept steps whose range covers [min, max], in table order: a new list.
py::list steps_within(const KeptSteps& steps, double min, double max) {
  py::list out;
  for (std::size_t i = 0; i < steps.upper.size(); ++i) {
    if (steps.lower[i] <= min && steps.upper[i] >= max) {
      out.append(steps.names[i]);
    }
  }
  return out;
}

// The kept steps of `board` and `rf_mode_str`, made now when the table has none kept; null
// when they cannot be kept. Under the lock with the GIL.
py::object steps_of(Manager& self, std::int64_t board, const std::string& rf_mode_str) {
  const std::string key = steps_key(board, rf_mode_str);
  const std::uint64_t generation = self.generation();
  if (const py::object* kept = self.cached_at(key, generation)) {
    return *kept;
  }
  auto ranges = self.comStepRanges(board, rf_mode_str);
  if (!ranges) {
    return {};
  }
  auto made = std::make_unique<KeptSteps>();
  for (auto& range : *ranges) {
    made->upper.push_back(range.upper);
    made->lower.push_back(range.lower);
    made->names.append(py::str(range.step));
  }
  py::capsule kept(made.get(), [](void* p) { delete static_cast<KeptSteps*>(p); });
  made.release();
  return self.cached(key, generation, [&] { return kept; });
}

py::object search_com_step_dr(Manager& self, std::int64_t board, const std::string& rf_mode_str,
                              double min, double max, const py::object& /*polar*/) {
  if (lane_open(self)) {
    const py::object kept = self.reading([&] { return steps_of(self, board, rf_mode_str); });
    if (kept) {
      return steps_within(kept_steps(kept), min, max);
    }
  }
  auto answer =
      self.reading([&] { return self._searchComStepDR(board, rf_mode_str, min, max); }, kAtQueries);
  if (const auto* failed = std::get_if<RetType>(&answer)) {
    return to_python(*failed);
  }
  return to_python(std::get<Value>(answer));
}

// --- fast lanes (see fastlane.hpp) ----------------------------------------------------------

// The mode argument of getDR as the full path reads it, for None and the members of the
// two mode classes (taken by identity) and plain ints; false for anything else.
bool mode_arg_of(PyObject* o, vlndev::ModeArg& out) {
  if (o == nullptr || o == Py_None) {
    out = std::monostate();
    return true;
  }
  for (const auto& [name, member] : enum_members<RFMode>()) {
    if (py_enum_member(member).ptr() == o) {
      out = member;
      return true;
    }
  }
  for (const auto& [name, member] : enum_members<CellRFMode>()) {
    if (py_enum_member(member).ptr() == o) {
      out = member;
      return true;
    }
  }
  std::int64_t v = 0;
  if (fastlane::exact_int(o, v)) {
    out = v;
    return true;
  }
  return false;
}

PyObject* fast_get_dr(Manager& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<std::string_view, 1> names{"rf_mode"};
  std::array<PyObject*, 1> arg{};
  vlndev::ModeArg mode;
  if (!lane_open(self) || !fastlane::sort_args(args, nargs, kwnames, names, arg) ||
      !mode_arg_of(arg[0], mode)) {
    return nullptr;
  }
  return self.fresh_envelope(dr_key(mode));
}

// A plain float or int argument as the full path reads it; false for anything else.
bool number_arg(PyObject* o, double& out) {
  std::int64_t v = 0;
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (fastlane::exact_int(o, v)) {
    out = static_cast<double>(v);
    return true;
  }
  return false;
}

PyObject* fast_search_com_step_dr(Manager& self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr std::array<std::string_view, 5> names{"board", "rf_mode_str", "min", "max",
                                                         "polar"};
  std::array<PyObject*, 5> arg{};
  std::int64_t board = 0;
  std::string_view rf_mode_str;
  double min = 0;
  double max = 0;
  if (!lane_open(self) || !fastlane::sort_args(args, nargs, kwnames, names, arg) ||
      arg[0] == nullptr || arg[1] == nullptr || arg[2] == nullptr || arg[3] == nullptr ||
      !fastlane::exact_int(arg[0], board) || !fastlane::exact_str(arg[1], rf_mode_str) ||
      !number_arg(arg[2], min) || !number_arg(arg[3], max)) {
    return nullptr;
  }
  const py::object* kept = self.cached_at(steps_key(board, rf_mode_str), self.generation());
  return kept == nullptr ? nullptr : steps_within(kept_steps(*kept), min, max).release().ptr();
}

inline constexpr char comdr_key[] = "COMDR";
inline constexpr char eledr_key[] = "ELEDR";

PyObject* fast_boards_offset(Manager& self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<std::string_view, 3> names{"boards", "rf_mode_str", "chip"};
  std::array<PyObject*, 3> arg{};
  if (!lane_open(self) || !fastlane::sort_args(args, nargs, kwnames, names, arg) ||
      arg[0] == nullptr || !PyList_CheckExact(arg[0])) {
    return nullptr;
  }
  std::string_view rf_mode_str = "TX";
  std::int64_t chip = 1;
  if ((arg[1] != nullptr && !fastlane::exact_str(arg[1], rf_mode_str)) ||
      (arg[2] != nullptr && !fastlane::exact_int(arg[2], chip))) {
    return nullptr;
  }
  bool plain = true;
  // Reused, so that the lane makes no allocation; the GIL is held here.
  static std::string key;
  write_offset_key(key, rf_mode_str, chip, static_cast<std::size_t>(PyList_GET_SIZE(arg[0])),
                   [&](std::size_t i) {
                     std::int64_t board = 0;
                     plain =
                         plain && fastlane::exact_int(
                                      PyList_GET_ITEM(arg[0], static_cast<Py_ssize_t>(i)), board);
                     return board;
                   });
  if (!plain) {
    return nullptr;
  }
  const KeptAnswer* kept = self.fresh(key);
  return kept == nullptr ? nullptr : kept->data.inc_ref().ptr();
}

}  // namespace

void export_calibration_queries(py::module_& m) {
  auto cls = py::reinterpret_borrow<py::class_<Manager>>(m.attr("CalibrationTableManager"));
  cls.def("getDR", &get_dr, py::arg("rf_mode") = py::none(),
          "Total dynamic range: the whole DR map, or one mode's entry (an RFMode or CellRFMode "
          "member, or an int).")
      .def(
          "getCOMDR",
          [](Manager& self) {
            return dynamic_range(self, comdr_key, &CalibrationTableManager::getCOMDR);
          },
          "Common-arm ranges per RF mode and IC section.")
      .def(
          "getELEDR",
          [](Manager& self) {
            return dynamic_range(self, eledr_key, &CalibrationTableManager::getELEDR);
          },
          "Element-arm limits per RF mode and IC section.")
      .def(
          "_getBoardCOMDR",
          [](Manager& self, ModeOrInt mode, std::int64_t board_idx) {
            return self.reading([&] { return self._getBoardCOMDR(mode, board_idx); }, kAtQueries);
          },
          py::arg("mode"), py::arg("board_idx"))
      .def(
          "_getBoardELEDR",
          [](Manager& self, ModeOrInt mode, std::int64_t board_idx) {
            return self.reading([&] { return self._getBoardELEDR(mode, board_idx); }, kAtQueries);
          },
          py::arg("mode"), py::arg("board_idx"))
      .def("_getBoardsOffset", &boards_offset, py::arg("boards"), py::arg("rf_mode_str") = "TX",
           py::arg("chip") = 1,
           "Offset lists of the boards for one RF mode; a database failure answers its "
           "RetType.")
      .def("_getTC",
           [](Manager& self) { return self.reading([&] { return self._getTC(); }, kAtQueries); })
      .def("_searchComStepDR", &search_com_step_dr, py::arg("board"), py::arg("rf_mode_str"),
           py::arg("min"), py::arg("max"), py::arg("polar") = py::none(),
           "Common-arm step names whose range covers [min, max]; in web mode a database "
           "failure, or a board or mode the table lacks, answers its RetType.");
  fastlane::install<Manager, &fast_get_dr>(cls, "getDR");
  fastlane::install<Manager, &fastlane::kept_getter<Manager, &lane_open, comdr_key>>(cls,
                                                                                     "getCOMDR");
  fastlane::install<Manager, &fastlane::kept_getter<Manager, &lane_open, eledr_key>>(cls,
                                                                                     "getELEDR");
  fastlane::install<Manager, &fast_boards_offset>(cls, "_getBoardsOffset");
  fastlane::install<Manager, &fast_search_com_step_dr>(cls, "_searchComStepDR");
}

}  // namespace arvcore::python
