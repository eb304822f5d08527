// arvcore._testing: helpers the package's tests use to drive the compiled core's conversions,
// error translation, logging bridge and text signatures from Python. Built beside the package
// for the tests only; never installed, packed in the wheel or shipped in the Debian package.
//
// The module has its own copy of the core library and of the conversions: at import it takes
// the enumeration classes the core module built and translates failures as the core module does.
// Its loggers are the core module's own (spdlog keeps one registry per process), so its records
// take the core module's bridge to `logging`, at the levels that bridge sets.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include "arvcore/base/log.hpp"
#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/json.hpp"
#include "casters.hpp"
#include "enum_classes.hpp"
#include "exports.hpp"
#include "text_signatures.hpp"

namespace py = pybind11;

namespace arvcore::python::testing {

// Formats as Python's str() of the object, so tests can see whether formatting happened.
struct PyText {
  py::object obj;
};

}  // namespace arvcore::python::testing

template <>
struct fmt::formatter<arvcore::python::testing::PyText> : fmt::formatter<std::string_view> {
  auto format(const arvcore::python::testing::PyText& t, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(py::str(t.obj).cast<std::string>(), ctx);
  }
};

namespace arvcore::python::testing {
namespace {

log::Level level_of(int level) {
  switch (level) {
    case 10:
      return log::Level::debug;
    case 20:
      return log::Level::info;
    case 30:
      return log::Level::warning;
    case 40:
      return log::Level::error;
    default:
      throw ValueError(fmt::format("{} is not a logging level of the module", level));
  }
}

[[noreturn]] void raise_kind(const std::string& kind, const std::string& msg) {
  if (kind == "TypeError")
    throw TypeError(msg);
  if (kind == "KeyError")
    throw KeyError(msg);
  if (kind == "IndexError")
    throw IndexError(msg);
  if (kind == "UnicodeError")
    throw UnicodeError(msg);
  if (kind == "ValueError")
    throw ValueError(msg);
  if (kind == "OSError")
    throw OSError(msg);
  if (kind == "LoadError")
    throw LoadError(msg);
  if (kind == "Error")
    throw Error(msg);
  if (kind == "json_type") {
    (void)Value(msg).get<std::int64_t>();
  }
  if (kind == "json_key") {
    (void)Value::object().at(msg);
  }
  if (kind == "json_index") {
    (void)Value::array().at(3);
  }
  if (kind == "json_parse") {
    const Value parsed = Value::parse(msg);
    (void)parsed;
  }
  throw std::runtime_error(msg);
}

// The classes the core module built from the C++ tables, for this module's conversions.
template <class... E>
void adopt_classes(const py::module_& core, EnumList<E...> /*list*/) {
  (set_py_enum_class<E>(core.attr(std::string(EnumTraits<E>::type_name).c_str())), ...);
}

// What each class is built from: its module, whether it is a flag set, and its members
// (texts first), for the tests that hold the classes, stubs and conversions to the tables.
template <class... E>
void describe(py::dict& out, const char* module, EnumList<E...> /*list*/) {
  (
      [&] {
        py::list members;
        for (const auto& [member, text] : enum_texts<E>()) {
          members.append(py::make_tuple(std::string(member), std::string(text)));
        }
        for (const auto& [member, value] : EnumTraits<E>::members) {
          members.append(py::make_tuple(std::string(member), enum_value(value)));
        }
        out[py::str(std::string(EnumTraits<E>::type_name))] =
            py::make_tuple(module, EnumTraits<E>::flags, members);
      }(),
      ...);
}

// Every member through the conversions, C++ to Python and back, by value.
template <class... E>
py::list round_trip(const std::string& name, EnumList<E...> /*list*/) {
  py::list out;
  (
      [&] {
        if (name != EnumTraits<E>::type_name) {
          return;
        }
        for (const auto& entry : EnumTraits<E>::members) {
          py::object member = py_enum_member(entry.second);
          E back{};
          if (!load_enum<E>(member, false, back) || back != entry.second) {
            throw ValueError(fmt::format("{} does not convert back", enum_text(entry.second)));
          }
          out.append(member);
        }
      }(),
      ...);
  return out;
}

void export_enum_checks(py::module_& m) {
  m.def("enum_tables", [] {
    py::dict out;
    describe(out, names::public_module, PublicEnums{});
    describe(out, names::vlndev_module, ModuleEnums{});
    return out;
  });
  m.def(
      "enum_round_trip",
      [](const std::string& name) {
        py::list out = round_trip(name, PublicEnums{});
        for (const auto& member : round_trip(name, ModuleEnums{})) {
          out.append(member);
        }
        return out;
      },
      py::arg("name"));
}

void export_conversions(py::module_& m) {
  m.def(
      "echo", [](const Value& v) { return v; }, py::arg("value"));
  m.def(
      "echo_ret", [](const RetType& r) { return r; }, py::arg("ret"));
  m.def(
      "ret_text", [](const RetType& r) { return r.to_string(); }, py::arg("ret"));
  m.def(
      "echo_mode",
      [](std::variant<std::monostate, RFMode, CellRFMode, std::int64_t> mode) -> py::tuple {
        if (std::holds_alternative<RFMode>(mode)) {
          return py::make_tuple("RFMode", std::get<RFMode>(mode));
        }
        if (std::holds_alternative<CellRFMode>(mode)) {
          return py::make_tuple("CellRFMode", std::get<CellRFMode>(mode));
        }
        if (std::holds_alternative<std::int64_t>(mode)) {
          return py::make_tuple("int", std::get<std::int64_t>(mode));
        }
        return py::make_tuple("none", py::none());
      },
      py::arg("mode") = py::none());
  m.def(
      "echo_rfmode", [](RFMode mode) { return mode; }, py::arg("mode"));
  m.def(
      "echo_option",
      [](vlndev::BTSetOption option) { return py::make_tuple(option, vlndev::flag_text(option)); },
      py::arg("option"));
  m.def(
      "echo_field", [](vlndev::BTField field) { return field; }, py::arg("field"));
  m.def("bt_version", [] { return std::string(vlndev::BTField_version); });
  m.def("files_dir", [] { return Utils::get_files_dir(); });
}

void export_callbacks(py::module_& m) {
  m.def(
      "call_kw",
      [](const py::object& fn, const Value& payload) -> py::object {
        auto cb = kw_callback(fn);
        if (!cb) {
          return py::none();
        }
        return to_python(cb(payload));
      },
      py::arg("fn"), py::arg("payload"));
  m.def(
      "call_check",
      [](py::object fn, RFMode mode, const Value& gain) {
        return positional_callback<RetType, RFMode, const Value&>(std::move(fn))(mode, gain);
      },
      py::arg("fn"), py::arg("mode"), py::arg("gain"));
  m.def(
      "call_layout", [](py::object fn) { return layout_callback(std::move(fn))(); }, py::arg("fn"));
}

void export_failures_and_records(py::module_& m) {
  m.def("raise_error", &raise_kind, py::arg("kind"), py::arg("msg") = "");
  m.def(
      "log",
      [](const std::string& name, int level, const std::string& msg, py::object arg) {
        const log::Logger logger(name);
        if (arg.is_none()) {
          logger.log(level_of(level), "{}", msg);
        } else {
          logger.log(level_of(level), "{} {}", msg, PyText{std::move(arg)});
        }
      },
      py::arg("name"), py::arg("level"), py::arg("msg"), py::arg("arg") = py::none());
}

void export_signature_shapes(py::module_& m) {
  // Parameter shapes that no public function has yet, for the text signatures' tests.
  m.def(
      "shapes", [](int, int, const py::args&, int, const py::kwargs&) {}, py::arg("a"),
      py::pos_only(), py::arg("b") = 2, py::arg("c") = py::dict());
  m.def(
      "keywords", [](int, int) {}, py::arg("a"), py::kw_only(), py::arg("b") = RFMode::RX);
  m.def("unnamed", [](int, int) {});
  m.def("overloaded", [](int) {});
  m.def("overloaded", [](const std::string&) {});
}

}  // namespace
}  // namespace arvcore::python::testing

PYBIND11_MODULE(_testing, m) {
  namespace testing = arvcore::python::testing;
  m.doc() = "Helpers of the arvcore tests (not installed)";
  const py::module_ core = py::module_::import("arvcore._arvcore");
  arvcore::value::set_max_read_depth(
      py::module_::import("sys").attr("getrecursionlimit")().cast<int>() / 2);
  testing::adopt_classes(core, arvcore::python::PublicEnums{});
  testing::adopt_classes(core, arvcore::python::ModuleEnums{});
  // For this module's functions only: a translator for every module would be tried before
  // those the core module registered after its own (the table database's error).
  py::register_local_exception_translator(&arvcore::python::translate_core_error);
  testing::export_conversions(m);
  testing::export_callbacks(m);
  testing::export_failures_and_records(m);
  testing::export_signature_shapes(m);
  testing::export_enum_checks(m);
  arvcore::python::sign_functions(m);
}
