// Error translation, the logging bridge to Python's `logging`, and small underscored helpers
// the package's own tests use to drive the conversions from the C++ side.

#include <exception>
#include <string>
#include <string_view>
#include <variant>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "arvcore/sdk/log_format.hpp"
#include "arvcore/sdk/utils.hpp"
#include "exports.hpp"
#include "gil.hpp"

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

namespace arvcore::python {
namespace {

// "[json.exception.out_of_range.403] key 'X' not found" -> "X"
std::string missing_key(std::string_view what) {
  constexpr std::string_view head = "key '";
  constexpr std::string_view tail = "' not found";
  const auto b = what.find(head);
  const auto e = what.rfind(tail);
  if (b == std::string_view::npos || e == std::string_view::npos || e < b + head.size()) {
    return std::string(what);
  }
  return std::string(what.substr(b + head.size(), e - b - head.size()));
}

// KeyError carries the key itself, so str() shows it quoted like a Python dict lookup.
void set_key_error(const std::string& key) {
  py::str k(key);
  PyErr_SetObject(PyExc_KeyError, k.ptr());
}

void translate(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const KeyError& e) {
    set_key_error(e.what());
  } catch (const IndexError& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const UnicodeError& e) {
    PyErr_SetString(PyExc_UnicodeError, e.what());
  } catch (const ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const OSError& e) {
    PyErr_SetString(PyExc_OSError, e.what());
  } catch (const LoadError& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  } catch (const Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const nlohmann::json::type_error& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const nlohmann::json::out_of_range& e) {
    if (e.id == 403) {
      set_key_error(missing_key(e.what()));
    } else {
      PyErr_SetString(PyExc_IndexError, e.what());
    }
  } catch (const nlohmann::json::parse_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  }
}

// --- test helpers ---------------------------------------------------------------------------

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

void export_test_helpers(py::module_& m) {
  m.def(
      "_echo", [](const Value& v) { return v; }, py::arg("value"));
  m.def(
      "_echo_ret", [](const RetType& r) { return r; }, py::arg("ret"));
  m.def(
      "_ret_text", [](const RetType& r) { return r.to_string(); }, py::arg("ret"));
  m.def(
      "_echo_mode",
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
      "_echo_rfmode", [](RFMode mode) { return mode; }, py::arg("mode"));
  m.def(
      "_echo_option",
      [](vlndev::BTSetOption option) { return py::make_tuple(option, vlndev::flag_text(option)); },
      py::arg("option"));
  m.def(
      "_echo_field", [](vlndev::BTField field) { return field; }, py::arg("field"));
  m.def("_bt_version", [] { return std::string(vlndev::BTField_version); });
  m.def("_files_dir", [] { return Utils::get_files_dir(); });
  m.def("_raise", &raise_kind, py::arg("kind"), py::arg("msg") = "");
  m.def(
      "_log",
      [](const std::string& name, int level, const std::string& msg, py::object arg) {
        const log::Logger logger(name);
        if (arg.is_none()) {
          logger.log(level_of(level), "{}", msg);
        } else {
          logger.log(level_of(level), "{} {}", msg, testing::PyText{std::move(arg)});
        }
      },
      py::arg("name"), py::arg("level"), py::arg("msg"), py::arg("arg") = py::none());
  m.def(
      "_log_exception",
      [](const std::string& name, const std::string& msg, const std::string& kind,
         const std::string& text) {
        const log::Logger logger(name);
        try {
          raise_kind(kind, text);
        } catch (...) {
          logger.exception(msg);
        }
      },
      py::arg("name"), py::arg("msg"), py::arg("kind"), py::arg("text"));
  m.def(
      "_log_call_failure",
      [](const std::string& name, const std::string& msg, const py::object& fn) {
        const log::Logger logger(name);
        try {
          fn();
        } catch (...) {
          logger.exception(msg);
        }
      },
      py::arg("name"), py::arg("msg"), py::arg("fn"));
  m.def(
      "_call_kw",
      [](const py::object& fn, const Value& payload) -> py::object {
        auto cb = kw_callback(fn);
        if (!cb) {
          return py::none();
        }
        return to_python(cb(payload));
      },
      py::arg("fn"), py::arg("payload"));
  m.def(
      "_call_check",
      [](py::object fn, RFMode mode, const Value& gain) {
        return positional_callback<RetType, RFMode, const Value&>(std::move(fn))(mode, gain);
      },
      py::arg("fn"), py::arg("mode"), py::arg("gain"));
  m.def(
      "_call_layout", [](py::object fn) { return layout_callback(std::move(fn))(); },
      py::arg("fn"));
  // Parameter shapes that no public function has yet, for the text signatures' tests.
  m.def(
      "_shapes", [](int, int, const py::args&, int, const py::kwargs&) {}, py::arg("a"),
      py::pos_only(), py::arg("b") = 2, py::arg("c") = py::dict());
  m.def(
      "_keywords", [](int, int) {}, py::arg("a"), py::kw_only(), py::arg("b") = RFMode::RX);
  m.def("_unnamed", [](int, int) {});
  m.def("_overloaded", [](int) {});
  m.def("_overloaded", [](const std::string&) {});
}

}  // namespace

void export_sdk(py::module_& m) {
  py::register_exception_translator(&translate);

  m.def(
      "_set_level", [](const std::string& name, int level) { log::set_level(name, level); },
      py::arg("name"), py::arg("level"));
  export_test_helpers(m);

  install_log_sink();
  py::module_::import("arvcore._logbridge").attr("_install")(m.attr("_set_level"));
}

}  // namespace arvcore::python
