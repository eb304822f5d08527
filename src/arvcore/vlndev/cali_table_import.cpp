#include "arvcore/vlndev/cali_table_import.hpp"

#include <cmath>
#include <istream>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "arvcore/tabledb/detail/table_store_common.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/cali_layout.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"
#include "arvcore/vlndev/detail/frequency.hpp"

namespace arvcore::vlndev {

CaliFileIdentity cali_file_identity(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  constexpr std::string_view kTail = "GHz.csv";
  const auto underscore = name.rfind('_');
  if (underscore == std::string::npos || underscore == 0 || !name.ends_with(kTail) ||
      name.size() - kTail.size() <= underscore + 1) {
    throw ValueError(fmt::format("'{}' is not a calibration file name SN_FREQGHz.csv", name));
  }
  const std::string freq_text =
      name.substr(underscore + 1, name.size() - kTail.size() - underscore - 1);
  Value freq;
  try {
    freq = value::parse_int(freq_text);
  } catch (const ValueError&) {
    freq = value::parse_float(freq_text);  // throws ValueError for a name like SN_oldGHz.csv
  }
  // "inf", "nan", -28, 0 and 1e-320 name no operating frequency, and a subnormal one could
  // not even be read back by every store.
  if (!frequency_problem(freq).empty() || !std::isnormal(freq.get<double>())) {
    throw ValueError(
        fmt::format("'{}' names no operating frequency: {} GHz is not a positive "
                    "number a table can have",
                    name, freq_text));
  }
  return {name.substr(0, underscore), std::move(freq)};
}

std::vector<tabledb::Unit> table_units(const CalibrationTableManager& manager) {
  const Value& header = manager.caliTableHeader();
  const detail::CaliData* data = manager.caliData();
  return tabledb::split_table(header,
                              data != nullptr ? data->json_stand_in(header) : value::JsonStandIn{});
}

namespace {

// A local-mode manager that parsed `file` for `layout`.
std::unique_ptr<CalibrationTableManager> parse_file(const CaliFileIdentity& id,
                                                    const std::filesystem::path& file,
                                                    const CaliLayout& layout, RetType& parsed) {
  value::TableFileBuf buf(file);
  std::istream in(&buf);
  in.exceptions(std::ios::badbit);  // a read failure is reported as itself, not as an end
  const Value l = layout.value();
  auto manager = std::make_unique<CalibrationTableManager>(
      id.sn, id.freq, [&] { return l; }, /*support_polar=*/false, /*is_web_mode=*/false,
      /*fetchCsvFromFile=*/false);
  parsed = manager->parse(id.freq, &in, /*exportToJson=*/false, file.string());
  return manager;
}

}  // namespace

RetType import_calibration_file(tabledb::TableStore& store, const std::filesystem::path& file,
                                const Value& layout, const tabledb::Progress& progress) {
  const CaliFileIdentity id = cali_file_identity(file);
  const std::optional<CaliLayout> given =
      layout.is_null() ? std::nullopt : std::optional<CaliLayout>(layout_of(layout));
  // Only the offset rows depend on the layout: a provisional one reads the rest, whose rows
  // name their boards, chips and channels.
  CaliLayout used = given.value_or(CaliLayout{1, 1, 1});
  RetType parsed;
  auto manager = parse_file(id, file, used, parsed);
  if (parsed.RetCode != RetCode::OK) {
    return parsed;
  }
  const std::optional<CaliLayout> found =
      table_layout(manager->caliTableHeader(), manager->caliData());
  if (given && found && *found != *given) {
    throw ValueError(fmt::format("{} holds a table of layout {}, not the layout {} given",
                                 file.string(), found->text(), given->text()));
  }
  if (!given) {
    if (!found) {
      throw ValueError(
          fmt::format("the rows of {} do not tell its layout (it has no ComData): give the layout",
                      file.string()));
    }
    if (*found != used) {
      used = *found;
      manager.reset();
      manager = parse_file(id, file, used, parsed);
      if (parsed.RetCode != RetCode::OK) {
        return parsed;
      }
    }
  }
  const Value& table = manager->caliTableHeader();
  tabledb::TableInfo info;
  info.sn = id.sn;
  info.freq = id.freq.get<double>();
  if (auto ver = table.find("VER"); ver != table.end()) {
    info.version = value::str(*ver);
  }
  info.imported = tabledb::utc_now();
  info.layout = used.text();
  store.replaceTable(info, table_units(*manager), progress);
  return parsed;
}

}  // namespace arvcore::vlndev
