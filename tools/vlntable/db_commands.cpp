// `vlntable db import|list|rm|export`: maintain the table database that web-mode devices read
// their calibration tables from (a SQLite file, or a PostgreSQL server shared by many hosts).

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/sdk/table_store.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_table_import.hpp"
#include "commands.hpp"

namespace vlntable {
namespace {

using arvcore::RetCode;
using arvcore::Value;
namespace tabledb = arvcore::tabledb;

struct DbOptions {
  std::string url;     // --db URL (else $ARVCORE_TABLE_DB, else files/calibration.db)
  std::string layout;  // --layout, for import; empty: the layout the table's rows describe
  std::vector<std::string> files;
  std::string sn;
  double freq = 0;
  bool json = false;
};

// Files above this size show their progress on a terminal.
constexpr std::uintmax_t kProgressFrom = 4u << 20;

std::string store_url(const DbOptions& o) {
  return o.url.empty() ? tabledb::configured_url() : o.url;
}

Value layout_value(const std::string& text) {
  Value out = Value::array();
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto comma = text.find(',', start);
    const std::string piece = text.substr(start, comma - start);
    std::int64_t n = 0;
    try {
      n = arvcore::value::parse_int(piece);
    } catch (const arvcore::ValueError&) {
      n = 0;
    }
    if (n < 1) {
      break;
    }
    out.push_back(n);
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 1;
  }
  if (out.size() != 3) {
    throw std::invalid_argument(fmt::format(
        "--layout must be three positive integers BOARDS,ICS,CHANNELS, not '{}'", text));
  }
  return out;
}

int run_import(const DbOptions& o) {
  const Value layout = o.layout.empty() ? Value() : layout_value(o.layout);
  auto store = tabledb::open_store(store_url(o));
  const bool tty = isatty(STDERR_FILENO) != 0;
  int status = 0;
  for (const auto& f : o.files) {
    const std::filesystem::path path(f);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    tabledb::Progress progress;
    if (tty && !ec && size >= kProgressFrom) {
      progress = [&](std::size_t done, std::size_t total) {
        std::fprintf(stderr, "\r%s: storing %zu/%zu entries", f.c_str(), done, total);
        if (done == total) {
          std::fputc('\n', stderr);
        }
      };
      std::fprintf(stderr, "%s: parsing %.1f MB\n", f.c_str(), static_cast<double>(size) / 1e6);
    }
    try {
      const auto id = arvcore::vlndev::cali_file_identity(path);
      const arvcore::RetType r =
          arvcore::vlndev::import_calibration_file(*store, path, layout, progress);
      if (r.RetCode != RetCode::OK) {
        std::cout << fmt::format("refused {}: {}: {}\n", f, arvcore::enum_name(r.RetCode),
                                 r.RetMsg);
        status = 1;
        continue;
      }
      std::cout << fmt::format("imported {} as {} at {} GHz\n", f, id.sn,
                               arvcore::value::str(id.freq));
    } catch (const std::exception& e) {
      std::cout << fmt::format("failed {}: {}\n", f, e.what());
      status = 1;
    }
  }
  return status;
}

int run_list(const DbOptions& o) {
  const auto tables = tabledb::open_store(store_url(o))->tables();
  if (o.json) {
    Value doc = Value::object();
    doc["db"] = tabledb::redact_url(store_url(o));
    doc["tables"] = Value::array();
    for (const auto& t : tables) {
      Value row = Value::object();
      row["sn"] = t.sn;
      row["frequency"] = t.freq;
      row["version"] = t.version;
      row["rows"] = t.rows;
      row["imported"] = t.imported;
      doc["tables"].push_back(std::move(row));
    }
    std::cout << arvcore::value::dump_json(doc, 2) << "\n";
    return 0;
  }
  std::cout << fmt::format("{:<20} {:>9} {:<10} {:>9}  {}\n", "SN", "FREQ/GHz", "VERSION", "ROWS",
                           "IMPORTED (UTC)");
  for (const auto& t : tables) {
    std::cout << fmt::format("{:<20} {:>9} {:<10} {:>9}  {}\n", t.sn,
                             arvcore::value::float_repr(t.freq), t.version, t.rows, t.imported);
  }
  return 0;
}

int run_rm(const DbOptions& o) {
  if (!tabledb::open_store(store_url(o))->removeTable(o.sn, o.freq)) {
    std::cerr << fmt::format("no table of {} at {} GHz\n", o.sn, o.freq);
    return 1;
  }
  std::cout << fmt::format("removed {} at {} GHz\n", o.sn, o.freq);
  return 0;
}

int run_export(const DbOptions& o) {
  auto store = tabledb::open_store(store_url(o));
  Value table;
  bool found = false;
  store->read([&](tabledb::Snapshot& s) {
    if (auto id = s.tableId(o.sn, o.freq)) {
      table = tabledb::assemble_table(s, *id);
      found = true;
    }
  });
  if (!found) {
    std::cerr << fmt::format("no table of {} at {} GHz\n", o.sn, o.freq);
    return 1;
  }
  // The form of a calibration JSON export.
  std::cout << arvcore::value::dump_json(table, 4) << "\n";
  return 0;
}

void add_db_option(CLI::App* cmd, DbOptions& o) {
  cmd->add_option("--db", o.url,
                  "Table database: a SQLite path, sqlite:///PATH or postgresql://... "
                  "(default: $ARVCORE_TABLE_DB, else calibration.db in the data directory)");
}

void add_table_args(CLI::App* cmd, DbOptions& o) {
  cmd->add_option("SN", o.sn, "Serial number")->required();
  cmd->add_option("FREQ", o.freq, "Frequency in GHz")->required();
}

}  // namespace

void add_db_commands(CLI::App& app) {
  auto opts = std::make_shared<DbOptions>();
  CLI::App* db = app.add_subcommand("db", "The table database of web mode");
  db->require_subcommand(1);

  CLI::App* import = db->add_subcommand(
      "import", "Parse calibration CSV files and store (or replace) them in the table database");
  add_db_option(import, *opts);
  import->add_option("--layout", opts->layout,
                     "Device layout BOARDS,ICS,CHANNELS (default: the layout the table's rows "
                     "describe; a table whose rows describe another is refused)");
  import->add_option("FILE", opts->files, "Calibration files SN_FREQGHz.csv")->required();
  import->callback([opts] { run_guarded([opts] { return run_import(*opts);
});
}  // namespace vlntable
);

CLI::App* list = db->add_subcommand("list", "List the stored calibration tables");
add_db_option(list, *opts);
list->add_flag("--json", opts->json, "Print one JSON document");
list->callback([opts] { run_guarded([opts] { return run_list(*opts); }); });

CLI::App* rm = db->add_subcommand("rm", "Remove one stored calibration table");
add_db_option(rm, *opts);
add_table_args(rm, *opts);
rm->callback([opts] { run_guarded([opts] { return run_rm(*opts); }); });

CLI::App* exp = db->add_subcommand("export", "Print one stored table as a calibration JSON export");
add_db_option(exp, *opts);
add_table_args(exp, *opts);
exp->callback([opts] { run_guarded([opts] { return run_export(*opts); }); });
}

}  // namespace vlntable
