#pragma once
// Minimum LO-to-IF frequency difference of an up/down converter, read from "{SN}.csv" in the
// data directory.

#include <cstdint>
#include <filesystem>
#include <string>

#include "arvcore/sdk/log_format.hpp"
#include "arvcore/sdk/ret_type.hpp"

namespace arvcore::vlndev {

class UDDeltaFreqTableManager {
 public:
  /// Reads no file; the delta frequency is 0 until parse() finds one.
  explicit UDDeltaFreqTableManager(std::string sn);

  /// Reads the delta frequency from the device's file: the first row that is neither empty,
  /// the serial number nor a "#" comment gives it.
  RetType parse();
  /// Data: the current delta frequency (an integer).
  RetType getUDDeltaFreq() const;

  const std::string& sn() const { return sn_; }
  const std::filesystem::path& defaultDir() const { return default_dir_; }
  std::int64_t delta_freq() const { return delta_freq_; }

 private:
  log::Logger logger_;
  std::string sn_;
  std::filesystem::path default_dir_;
  std::int64_t delta_freq_ = 0;
};

}  // namespace arvcore::vlndev
