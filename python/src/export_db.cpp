// The table database facade in Python: the bridge that lets the core obtain its database
// component from the Python module arvcore.db.VLNDBQueryer, the `_VLNTableDB` class, and the
// translation of the facade's error to VLNTableDBError.

#include <memory>
#include <string>
#include <utility>

#include "arvcore/sdk/db_queryer.hpp"
#include "arvcore/vlndev/vln_table_db.hpp"
#include "casters.hpp"
#include "exports.hpp"
#include "pybind_internals.hpp"

namespace py = pybind11;

namespace arvcore::python {
namespace {

constexpr const char* kQueryerModule = "arvcore.db.VLNDBQueryer";

// One DBQueryer object of the Python component. Payloads go out as plain dicts; replies
// (dicts or text) come back as values.
class PyDBQueryer final : public DBQueryer {
 public:
  explicit PyDBQueryer(py::object obj) : obj_(std::move(obj)) {}
  ~PyDBQueryer() override {
    InPython gil;
    obj_ = py::object();
  }
  PyDBQueryer(const PyDBQueryer&) = delete;
  PyDBQueryer& operator=(const PyDBQueryer&) = delete;

  // The payload may be the manager's own request template, which other callers may change
  // once the call lets the manager go for the component: it goes out as it is now.
  Value queryDB(const Value& payload) override {
    const Value request = payload;
    InPython gil;
    return to_value(obj_.attr("queryDB")(to_python(request)), "database reply");
  }
  Value queryDB(const Value& payload, const std::string& queryCmd) override {
    const Value request = payload;
    InPython gil;
    return to_value(obj_.attr("queryDB")(to_python(request), py::arg("queryCmd") = queryCmd),
                    "database reply");
  }

 private:
  py::object obj_;
};

// The module's own component, taken out of its Python object.
class SharedQueryer final : public DBQueryer {
 public:
  explicit SharedQueryer(std::shared_ptr<PyTableDBQueryer> q) : q_(std::move(q)) {}
  Value queryDB(const Value& payload) override { return q_->component->queryDB(payload); }
  Value queryDB(const Value& payload, const std::string& queryCmd) override {
    return q_->component->queryDB(payload, queryCmd);
  }
  Value selectTable(const Value& payload, const Value& layout) override {
    return q_->component->selectTable(payload, layout);
  }

 private:
  std::shared_ptr<PyTableDBQueryer> q_;
};

// The module is looked up on every facade construction, so a host that puts its own module
// into sys.modules (or reloads it) is used from then on.
std::unique_ptr<DBQueryer> python_db_queryer(const std::string& table_name) {
  py::gil_scoped_acquire gil;
  py::object module = py::module_::import("importlib").attr("import_module")(kQueryerModule);
  py::object obj = module.attr("DBQueryer")(table_name);
  if (py::type::of(obj).is(py::type::of<PyTableDBQueryer>())) {
    return std::make_unique<SharedQueryer>(obj.cast<std::shared_ptr<PyTableDBQueryer>>());
  }
  return std::make_unique<PyDBQueryer>(std::move(obj));
}

// `_VLNTableDB` as the Python host sees it: the template is the caller's dict itself, so the
// facade reads it afresh for every request and writes setFreq/setAAKitName into it.
class PyVLNTableDB {
 public:
  PyVLNTableDB(const std::string& table_name, py::object temp)
      : temp_(std::move(temp)),
        template_(std::make_shared<Value>(Value::object())),
        db_(table_name, template_) {}

  RetType setFreq(const py::object& freq) {
    sync();
    RetType selected = db_.setFreq(to_value(freq, "freq"));
    temp_["frequency"] = freq;
    return selected;
  }
  RetType setAAKitName(const py::object& name) {
    db_.setAAKitName(py::str(name));
    temp_["AAKIT_NAME"] = name;
    return RetType();
  }
  RetType getTableList(const std::string& name) {
    sync();
    return db_.getTableList(name);
  }
  RetType query(const py::object& key, const std::string& category, bool applySetting) {
    sync();
    return db_.query(to_value(key, "key"), category, applySetting);
  }
  void cleanQueryCache() { db_.cleanQueryCache(); }
  py::object heldQueries() const { return to_python(db_.heldQueries()); }

 private:
  void sync() { *template_ = to_value(temp_, "the request template"); }

  py::object temp_;
  std::shared_ptr<Value> template_;
  vlndev::VLNTableDB db_;
};

void translate_db_error(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const vlndev::VLNTableDBError& e) {
    // Imported here: the Python class is defined by the module that loads this extension.
    py::object cls = py::module_::import("arvcore.vlndev.VLNTableManager").attr("VLNTableDBError");
    py::object exc = cls(py_enum_member(e.ret().RetCode), e.ret().RetMsg);
    PyErr_SetObject(cls.ptr(), exc.ptr());
  }
}

}  // namespace
}  // namespace arvcore::python

ARVCORE_BUILT_ONLY(arvcore::python::PyVLNTableDB);

namespace arvcore::python {

void export_db(py::module_& m) {
  set_db_queryer_provider(python_db_queryer);
  py::register_exception_translator(translate_db_error);

  py::class_<PyVLNTableDB>(m, "_VLNTableDB",
                           "Facade between the calibration manager and the table database "
                           "query component arvcore.db.VLNDBQueryer.")
      .def(py::init<const std::string&, py::object>(), py::arg("table_name"), py::arg("temp"))
      .def("setFreq", &PyVLNTableDB::setFreq, py::arg("freq"))
      .def("setAAKitName", &PyVLNTableDB::setAAKitName, py::arg("name"))
      .def("getTableList", &PyVLNTableDB::getTableList, py::arg("name"))
      .def("query", &PyVLNTableDB::query, py::arg("key") = "", py::arg("category") = "GENERAL",
           py::arg("applySetting") = true)
      .def("cleanQueryCache", &PyVLNTableDB::cleanQueryCache)
      .def_property_readonly("_query_unsend", &PyVLNTableDB::heldQueries);
}

}  // namespace arvcore::python
