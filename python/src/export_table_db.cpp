// The module's table database in Python: the default query component class behind
// arvcore.db.VLNDBQueryer.DBQueryer, and the store that arvcore.db's import functions, kit
// functions and beam callbacks work on.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arvcore/tabledb/table_db_queryer.hpp"
#include "arvcore/tabledb/table_store.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/beam_pattern_table_manager.hpp"
#include "arvcore/vlndev/cali_table_import.hpp"
#include "exports.hpp"

namespace py = pybind11;

namespace arvcore::python {
namespace {

namespace tabledb = arvcore::tabledb;

std::string url_or_configured(const std::optional<std::string>& url) {
  return url && !url->empty() ? *url : tabledb::configured_url();
}

// A web host's store: its calls leave the interpreter to other threads while they wait.
class PyTableStore {
 public:
  explicit PyTableStore(const std::optional<std::string>& url)
      : url_(url_or_configured(url)), store_(tabledb::open_store(url_)) {}

  std::string where() const { return store_->where(); }

  RetType importFile(const std::string& path, const py::object& layout) {
    const Value l = to_value(layout, "layout");
    py::gil_scoped_release nogil;
    return vlndev::import_calibration_file(*store_, path, l);
  }

  py::list tables() {
    std::vector<tabledb::TableInfo> found;
    {
      py::gil_scoped_release nogil;
      found = store_->tables();
    }
    py::list out;
    for (const auto& t : found) {
      py::dict row;
      row["sn"] = t.sn;
      row["frequency"] = t.freq;
      row["version"] = t.version;
      row["rows"] = t.rows;
      row["imported"] = t.imported;
      row["layout"] = t.layout;
      out.append(row);
    }
    return out;
  }

  bool remove(const std::string& sn, double freq) {
    py::gil_scoped_release nogil;
    return store_->removeTable(sn, freq);
  }

  py::object exportTable(const std::string& sn, double freq) {
    std::optional<Value> table;
    {
      py::gil_scoped_release nogil;
      store_->read([&](tabledb::Snapshot& s) {
        if (auto id = s.tableId(sn, freq)) {
          table = tabledb::assemble_table(s, *id);
        }
      });
    }
    return table ? to_python(*table) : py::none();
  }

  py::list documents(const std::string& kind) {
    std::vector<tabledb::Document> docs;
    {
      py::gil_scoped_release nogil;
      docs = store_->documents(kind);
    }
    py::list out;
    for (const auto& d : docs) {
      out.append(py::make_tuple(d.key, to_python(value::parse_json(d.json))));
    }
    return out;
  }

  py::object document(const std::string& kind, const std::string& key) {
    std::optional<std::string> json;
    {
      py::gil_scoped_release nogil;
      json = store_->document(kind, key);
    }
    return json ? to_python(value::parse_json(*json)) : py::none();
  }

  void putDocument(const std::string& kind, const std::string& key, const py::object& v) {
    const std::string json = value::dump_json(to_value(v, "document"), -1);
    py::gil_scoped_release nogil;
    store_->putDocument(kind, key, json);
  }

  bool removeDocument(const std::string& kind, const std::string& key) {
    py::gil_scoped_release nogil;
    return store_->removeDocument(kind, key);
  }

 private:
  std::string url_;
  std::shared_ptr<tabledb::TableStore> store_;
};

void translate_store_error(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const tabledb::StoreUnavailable& e) {
    PyErr_SetString(PyExc_ConnectionError, e.what());
  }
}

}  // namespace
}  // namespace arvcore::python

ARVCORE_BUILT_ONLY(arvcore::python::PyTableStore);

namespace arvcore::python {

PyTableDBQueryer::PyTableDBQueryer(const std::string& table_name)
    : component(tabledb::default_db_queryer(table_name)) {}

void export_table_db(py::module_& m) {
  py::register_exception_translator(translate_store_error);

  py::class_<PyTableDBQueryer, std::shared_ptr<PyTableDBQueryer>>(
      m, "TableDBQueryer",
      "The module's table database query component for one table name, over the store named by "
      "ARVCORE_TABLE_DB (default: calibration.db in the data directory).")
      .def(py::init<const std::string&>(), py::arg("table_name"))
      .def(
          "queryDB",
          [](PyTableDBQueryer& q, const py::object& payload, const py::object& queryCmd) {
            const Value p = to_value(payload, "payload");
            std::optional<std::string> cmd;
            if (!queryCmd.is_none()) {
              cmd = py::cast<std::string>(queryCmd);
            }
            Value reply;
            {
              py::gil_scoped_release nogil;
              reply = cmd ? q.component->queryDB(p, *cmd) : q.component->queryDB(p);
            }
            return to_python(reply);
          },
          py::arg("payload"), py::arg("queryCmd") = py::none());

  py::class_<PyTableStore>(m, "TableStore",
                           "A table database: a SQLite path, sqlite:///PATH or postgresql://...")
      .def(py::init<const std::optional<std::string>&>(), py::arg("url") = py::none())
      .def_property_readonly("where", &PyTableStore::where)
      .def("import_file", &PyTableStore::importFile, py::arg("path"), py::arg("layout"))
      .def("tables", &PyTableStore::tables)
      .def("remove", &PyTableStore::remove, py::arg("sn"), py::arg("freq"))
      .def("export", &PyTableStore::exportTable, py::arg("sn"), py::arg("freq"))
      .def("documents", &PyTableStore::documents, py::arg("kind"))
      .def("document", &PyTableStore::document, py::arg("kind"), py::arg("key"))
      .def("put_document", &PyTableStore::putDocument, py::arg("kind"), py::arg("key"),
           py::arg("value"))
      .def("remove_document", &PyTableStore::removeDocument, py::arg("kind"), py::arg("key"));

  m.def(
      "beam_table_key",
      [](const py::object& sn, const py::object& freq, const std::string& aakit) {
        return vlndev::BeamPatternTableManager::table_file_name(to_value(sn, "sn"),
                                                                to_value(freq, "freq"), aakit);
      },
      py::arg("sn"), py::arg("freq"), py::arg("aakit") = "",
      "The name a beam table of this device, frequency and kit has as a file.");
}

}  // namespace arvcore::python
