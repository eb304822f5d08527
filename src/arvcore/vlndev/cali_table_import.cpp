#include "arvcore/vlndev/cali_table_import.hpp"

#include <fstream>
#include <utility>

#include <fmt/format.h>

#include "arvcore/sdk/table_store_common.hpp"
#include "arvcore/value/pynum.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"

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
  return {name.substr(0, underscore), std::move(freq)};
}

RetType import_calibration_file(tabledb::TableStore& store, const std::filesystem::path& file,
                                const Value& layout, const tabledb::Progress& progress) {
  const CaliFileIdentity id = cali_file_identity(file);
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw OSError(fmt::format("cannot open {}", file.string()));
  }
  CalibrationTableManager manager(
      id.sn, id.freq, [&] { return layout; }, /*support_polar=*/false, /*is_web_mode=*/false,
      /*fetchCsvFromFile=*/false);
  RetType parsed = manager.parse(id.freq, &in);
  if (parsed.RetCode != RetCode::OK) {
    return parsed;
  }
  const Value& table = manager.CaliTable();
  tabledb::TableInfo info;
  info.sn = id.sn;
  info.freq = id.freq.get<double>();
  if (auto ver = table.find("VER"); ver != table.end()) {
    info.version = value::str(*ver);
  }
  info.imported = tabledb::utc_now();
  store.replaceTable(info, tabledb::split_table(table), progress);
  return parsed;
}

}  // namespace arvcore::vlndev
