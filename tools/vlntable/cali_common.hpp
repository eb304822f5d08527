#pragma once
// Options and set-up shared by the `vlntable cali ...` sub-commands: data directory, serial
// number, frequency and device layout, and the parse of the table they name.

#include <cstdint>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/vlndev/calibration_table_manager.hpp"

namespace vlntable {

struct CaliOptions {
  std::string files;             // --files DIR (else $ARVCORE_FILES_DIR, else ./files)
  std::string sn;                // SN
  std::string freq;              // FREQ in GHz, as typed
  std::string layout = "4,1,4";  // --layout BOARDS,ICS,CHANNELS
  bool json = false;             // --json, where a command offers it
};

/// Adds --json to `cmd`, setting `json`.
void add_json_flag(CLI::App* cmd, bool& json);

/// Adds --files, --layout and the positional SN and FREQ to `cmd`.
void add_cali_options(CLI::App* cmd, CaliOptions& o);

/// A manager for the options, its table of FREQ parsed (and exported as JSON when asked).
struct OpenedCali {
  std::unique_ptr<arvcore::vlndev::CalibrationTableManager> manager;
  arvcore::RetType result;  // the parse result
};

/// FREQ as the device passes it (an integer or a float); std::invalid_argument otherwise.
arvcore::Value parse_freq(const std::string& text);
/// --layout BOARDS,ICS,CHANNELS as [b, i, c]; std::invalid_argument otherwise.
arvcore::Value parse_layout(const std::string& text);

/// Refuses (std::invalid_argument) a number option outside 1..`most`: "--channel 9 is not
/// within the layout 4,1,4 (1 to 4 channels per IC)".
void check_range(const std::string& option, std::int64_t value, std::int64_t most,
                 const std::string& layout, const char* what);

/// Throws std::invalid_argument with a readable message for a bad FREQ or --layout.
OpenedCali open_cali(const CaliOptions& o, bool exportToJson = false);

/// "OK" or "ERROR_BF_CALI_PARSE: cali file is broken".
std::string result_line(const arvcore::RetType& r);

}  // namespace vlntable
