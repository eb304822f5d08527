// `vlntable db import|list|rm|export`: maintain the table database that web-mode devices read
// their calibration tables from (a SQLite file, or a PostgreSQL server shared by many hosts).

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "arvcore/sdk/enum_traits.hpp"
#include "arvcore/tabledb/table_store.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/printable.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_table_import.hpp"
#include "cali_common.hpp"
#include "commands.hpp"

namespace vlntable {
namespace {

using arvcore::RetCode;
using arvcore::Value;
using arvcore::value::printable;
namespace tabledb = arvcore::tabledb;

struct DbOptions {
  std::string url;     // --db URL (else $ARVCORE_TABLE_DB, else files/calibration.db)
  std::string layout;  // --layout, for import; empty: the layout the table's rows describe
  std::vector<std::string> files;
  std::string sn;
  std::string freq;  // FREQ, read by frequency_arg
  bool json = false;
};

// Files above this size show their progress on a terminal.
constexpr std::uintmax_t kProgressFrom = 4u << 20;

std::string store_url(const DbOptions& o) {
  return o.url.empty() ? tabledb::configured_url() : o.url;
}

// A stored layout "4,1,4" as the list [4, 1, 4] that `cali check --json` shows; a text that
// is not one stays as it is stored.
Value stored_layout(const std::string& text) {
  try {
    return parse_layout(text);
  } catch (const std::invalid_argument&) {
    return text;
  }
}

int run_import(const DbOptions& o) {
  const Value layout = o.layout.empty() ? Value() : parse_layout(o.layout);
  auto store = tabledb::open_store(store_url(o));
  const bool tty = isatty(STDERR_FILENO) != 0;
  int status = 0;
  for (const auto& f : o.files) {
    const std::filesystem::path path(f);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    tabledb::Progress progress;
    const std::string shown = printable(f);
    if (tty && !ec && size >= kProgressFrom) {
      progress = [&](std::size_t done, std::size_t total) {
        std::fprintf(stderr, "\r%s: storing %zu/%zu entries", shown.c_str(), done, total);
        if (done == total) {
          std::fputc('\n', stderr);
        }
      };
      std::fprintf(stderr, "%s: parsing %.1f MB\n", shown.c_str(), static_cast<double>(size) / 1e6);
    }
    try {
      const auto id = arvcore::vlndev::cali_file_identity(path);
      const arvcore::RetType r =
          arvcore::vlndev::import_calibration_file(*store, path, layout, progress);
      if (r.RetCode != RetCode::OK) {
        std::cout << fmt::format("refused {}: {}: {}\n", shown, arvcore::enum_name(r.RetCode),
                                 printable(r.RetMsg));
        status = 1;
        continue;
      }
      std::cout << fmt::format("imported {} as {} at {} GHz\n", shown, printable(id.sn),
                               arvcore::value::str(id.freq));
    } catch (const std::exception& e) {
      std::cout << fmt::format("failed {}: {}\n", shown, printable(e.what()));
      status = 1;
    }
  }
  return status;
}

// The frequency argument, read as the managers read one: a finite number above 0.
double frequency_arg(const std::string& text) {
  double f = 0;
  try {
    f = arvcore::value::parse_float(text);
  } catch (const arvcore::ValueError&) {
    f = 0;
  }
  if (!(std::isfinite(f) && f > 0)) {
    throw std::invalid_argument(
        fmt::format("FREQ must be a frequency in GHz above 0, not '{}'", text));
  }
  return f;
}

// Runs a command body. With --json, standard output carries exactly one JSON document, on
// failure too: the body's, or {"db": ..., "error": ...} with exit status 2.
int run_db(const DbOptions& o, const std::function<int(Value& doc)>& body) {
  Value doc = Value::object();
  try {
    doc["db"] = tabledb::redact_url(store_url(o));
    return body(doc);
  } catch (const std::exception& e) {
    if (!o.json) {
      throw;
    }
    doc["error"] = e.what();
    print_json(doc);
    return 2;
  }
}

int run_list(const DbOptions& o) {
  return run_db(o, [&](Value& doc) {
    auto tables = tabledb::open_store(store_url(o))->tables();
    if (!o.sn.empty()) {
      std::erase_if(tables, [&](const auto& t) { return t.sn != o.sn; });
    }
    if (o.json) {
      doc["tables"] = Value::array();
      for (const auto& t : tables) {
        Value row = Value::object();
        row["sn"] = t.sn;
        row["frequency"] = t.freq;
        row["version"] = t.version;
        row["layout"] = t.layout.empty() ? Value() : stored_layout(t.layout);
        row["rows"] = t.rows;
        row["imported"] = t.imported;
        doc["tables"].push_back(std::move(row));
      }
      print_json(doc);
      return 0;
    }
    std::cout << fmt::format("{:<20} {:>9} {:<10} {:<8} {:>9}  {}\n", "SN", "FREQ/GHz", "VERSION",
                             "LAYOUT", "ROWS", "IMPORTED (UTC)");
    for (const auto& t : tables) {
      // Tables imported before layouts were recorded have none.
      std::cout << fmt::format("{:<20} {:>9} {:<10} {:<8} {:>9}  {}\n", printable(t.sn),
                               arvcore::value::float_repr(t.freq), printable(t.version),
                               t.layout.empty() ? "-" : printable(t.layout), t.rows,
                               printable(t.imported));
    }
    return 0;
  });
}

int run_rm(const DbOptions& o) {
  const double freq = frequency_arg(o.freq);
  if (!tabledb::open_store(store_url(o))->removeTable(o.sn, freq)) {
    std::cerr << fmt::format("no table of {} at {} GHz\n", printable(o.sn), freq);
    return 1;
  }
  std::cout << fmt::format("removed {} at {} GHz\n", printable(o.sn), freq);
  return 0;
}

int run_export(const DbOptions& o) {
  return run_db(o, [&](Value& doc) {
    doc["sn"] = o.sn;
    doc["frequency"] = o.freq;
    if (o.sn.empty() || o.freq.empty()) {
      throw std::invalid_argument("export needs SN and FREQ");
    }
    const double freq = frequency_arg(o.freq);
    doc["frequency"] = freq;
    auto store = tabledb::open_store(store_url(o));
    std::optional<Value> table;
    store->read([&](tabledb::Snapshot& s) {
      if (auto id = s.tableId(o.sn, freq)) {
        table = tabledb::assemble_table(s, *id);
      }
    });
    if (!table) {
      const std::string why = fmt::format("no table of {} at {} GHz", o.sn, freq);
      if (o.json) {
        doc["error"] = why;
        print_json(doc);
      } else {
        std::cerr << printable(why) << "\n";
      }
      return 1;
    }
    if (o.json) {
      doc["table"] = std::move(*table);
      print_json(doc);
      return 0;
    }
    // The form of a calibration JSON export.
    std::cout << arvcore::value::dump_json(*table, 4) << "\n";
    return 0;
  });
}

void add_db_option(CLI::App* cmd, DbOptions& o) {
  cmd->add_option("--db", o.url,
                  "Table database: a SQLite path, sqlite:///PATH or postgresql://... "
                  "(default: $ARVCORE_TABLE_DB, else calibration.db in the data directory)");
}

// SN and FREQ; `checked_later` leaves a missing one to the command, which reports it in its
// own output (a --json document).
void add_table_args(CLI::App* cmd, DbOptions& o, bool checked_later = false) {
  cmd->add_option("SN", o.sn, "Serial number")->required(!checked_later);
  cmd->add_option("FREQ", o.freq, "Frequency in GHz")->required(!checked_later);
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
list->add_option("SN", opts->sn, "Only the tables of this serial number");
list->add_flag("--json", opts->json, "Print one JSON document");
list->callback([opts] { run_guarded([opts] { return run_list(*opts); }); });

CLI::App* rm = db->add_subcommand("rm", "Remove one stored calibration table");
add_db_option(rm, *opts);
add_table_args(rm, *opts);
rm->callback([opts] { run_guarded([opts] { return run_rm(*opts); }); });

CLI::App* exp = db->add_subcommand("export", "Print one stored table as a calibration JSON export");
add_db_option(exp, *opts);
add_table_args(exp, *opts, /*checked_later=*/true);
exp->add_flag("--json", opts->json,
              "Print one JSON document {db, sn, frequency, table} (or error), on failure too");
exp->callback([opts] { run_guarded([opts] { return run_export(*opts); }); });
}

}  // namespace vlntable
