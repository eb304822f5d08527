// Error translation and the logging bridge to Python's `logging`.

#include <exception>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "arvcore/base/log.hpp"
#include "arvcore/value/printable.hpp"
#include "exports.hpp"
#include "gil.hpp"

namespace py = pybind11;

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

}  // namespace

void translate_core_error(std::exception_ptr p) {
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

void export_sdk(py::module_& m) {
  py::register_exception_translator(&translate_core_error);

  m.def(
      "_set_level", [](const std::string& name, int level) { log::set_level(name, level); },
      py::arg("name"), py::arg("level"));

  m.def(
      "printable", [](const py::bytes& text) { return value::printable(std::string_view(text)); },
      py::arg("text"),
      "The UTF-8 bytes `text` fit for a terminal: control characters, bytes that are not "
      "UTF-8 and backslashes written as escapes.");

  install_log_sink();
  py::module_::import("arvcore._logbridge").attr("_install")(m.attr("_set_level"));
}

}  // namespace arvcore::python
