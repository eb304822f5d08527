#include "arvcore/vlndev/ud_delta_freq_table_manager.hpp"

#include <system_error>
#include <utility>

#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/pynum.hpp"

namespace arvcore::vlndev {

UDDeltaFreqTableManager::UDDeltaFreqTableManager(std::string sn)
    : logger_("UDDeltaTbl"), sn_(std::move(sn)), default_dir_(Utils::get_files_dir()) {}

RetType UDDeltaFreqTableManager::parse() {
  // The file name is the serial number taken literally: no pattern matching, and a serial
  // number that cannot be a file name of the data directory has no file.
  const std::string file = sn_ + ".csv";
  const std::filesystem::path path = default_dir_ / file;
  std::error_code ec;
  if (file.find_first_of(std::string_view("/\0", 2)) != std::string::npos ||
      !std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
    RetType ret(RetCode::WARNING, "Delta csv not exist, skip it");
    logger_.warning("{}", ret.RetMsg);
    return ret;
  }
  logger_.info("Delta csv path: {}", path.string());
  RetType ret;
  try {
    // Read in place: a reader over a stream sets up chunk buffers that cost more than this
    // file of a few bytes.
    const std::string text = value::read_text_file(path);
    value::CsvReader reader(text);
    value::CsvRow row;
    while (reader.next(row)) {
      if (row.empty() || row[0] == sn_ || row[0].starts_with('#')) {
        continue;
      }
      delta_freq_ = value::parse_int(row[0]);
      logger_.info("Update delta freq to {}", delta_freq_);
      return ret;
    }
    ret = RetType(RetCode::WARNING, "No delta freq info, skip it");
    logger_.warning("{}", ret.RetMsg);
  } catch (...) {
    ret = RetType(RetCode::ERROR, "Exception while delta csv parsing");
    logger_.exception(ret.RetMsg);
  }
  return ret;
}

RetType UDDeltaFreqTableManager::getUDDeltaFreq() const {
  return RetType::Data(delta_freq_);
}

}  // namespace arvcore::vlndev
