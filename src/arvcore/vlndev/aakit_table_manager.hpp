#pragma once
// Antenna-array kit (AAKit) tables of one device: the kit files "AAKIT_*.csv" of the data
// directory, kit listing and selection, and the creation, renaming, saving and deletion of
// custom kits (handed to caller-supplied functions in web mode).

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arvcore/base/change_count.hpp"
#include "arvcore/sdk/log_format.hpp"
#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/callbacks.hpp"

namespace arvcore::value {
class CsvRow;
}  // namespace arvcore::value

namespace arvcore::vlndev {

/// Web-mode source of the whole kit table: called with the device-type code, the total channel
/// count and the list of supported device-type codes; on success its RetData is the table
/// (map from kit name to kit record).
using AAKitFetchFn =
    std::function<RetType(std::int64_t devtype, std::int64_t total_ch, const Value& support_devs)>;

/// What reading one kit file gives: the kit's name and record, or why the file is skipped.
struct AAKitFileReading {
  std::string name;                // from the AAKIT_NAME row; empty when there is none
  Value record = Value::object();  // the fields read before reading stopped
  bool skipped = false;
  std::vector<std::string> reasons;  // the messages logged for a skipped file
};

class AAKitTableManager {
 public:
  /// `path` is accepted for the callers' sake; kit files always live in the data directory.
  /// An empty `support_dev` rejects every kit file that names a device type.
  AAKitTableManager(std::int64_t devtype, std::int64_t total_ch, std::string path = "files/",
                    std::int64_t num_polar = 1, std::vector<std::int64_t> support_dev = {},
                    bool is_web_mode = false);

  // --- files -------------------------------------------------------------------------------

  /// Full paths of the kit files of the data directory, in ascending order.
  std::vector<std::string> _getAAKitTablePath() const;
  /// Re-reads every kit file into the table (file mode); old-form custom kit names are
  /// given their time-stamped form on the way.
  RetType parse();
  /// Reads one kit file as parse does, logging the same lines, without touching the table.
  AAKitFileReading readKitFile(const std::filesystem::path& file) const;

  // --- listing, selection, info --------------------------------------------------------------

  /// Data: the kit names. With `callback`, the table is first replaced by what it fetches.
  /// Throws TypeError when a successful fetch answers data that is not a map.
  RetType getAAKitList(bool force_refresh = false, const AAKitFetchFn& callback = nullptr);
  /// Selects a listed kit; the empty name clears the selection.
  RetType _selectAAKit(const std::string& kitName);
  /// Data: the named kit's record, the whole table (`local` without a name), or the selected
  /// kit's record.
  RetType getAAKitInfo(const std::optional<std::string>& kitName = std::nullopt,
                       bool local = false);

  // --- editing and persistence ---------------------------------------------------------------

  /// Creates or updates a kit in memory (and renames it when `newKitName` is given).
  /// Data: the name the kit is stored under. Throws TypeError when `kitName` is not a string
  /// or `spacing`, `steeringH` or `steeringV` is not a list. `dev_type` and `newKitName` are
  /// null when not given.
  RetType setAAKitInfo(const Value& kitName, const Value& spacing, const Value& steeringH,
                       const Value& steeringV, const Value& offsetTx, const Value& offsetRx,
                       std::int64_t custom = 1, const KwCallback& callback = nullptr,
                       const Value& dev_type = nullptr, const Value& newKitName = nullptr);
  /// Writes a kit to "AAKIT_<name>.csv" (or forwards it). `context` replaces the stored
  /// record as the data written when it is not null.
  RetType saveAAKitFile(const std::optional<std::string>& kitName = std::nullopt,
                        const KwCallback& callback = nullptr, bool check = true,
                        const Value& context = nullptr);
  /// Removes a custom kit from the table and deletes its file (or forwards the deletion).
  RetType deleteAAKitInfo(const std::string& kitName, const KwCallback& callback = nullptr,
                          bool check = true);
  /// kitName + "_" + the current local time suffix (21 characters).
  static std::string computeAAKitFullName(const std::string& kitName);

  // --- checks ----------------------------------------------------------------------------------

  /// True when `field` (a list, or a map of lists) holds the expected number of values for
  /// `field_name`; false, logged, for another count or a value of another kind. Throws
  /// KeyError for a field without a limit.
  bool checkAAKitField(const std::string& field_name, const Value& field) const;
  /// True when `time_str` is a valid custom-kit time suffix.
  static bool checkAAKitTimeFormat(std::string_view time_str);
  /// True when a kit name can safely become a file name of the data directory.
  static bool isValidAAKitName(std::string_view name);

  // --- readable members --------------------------------------------------------------------

  /// `_AAKitTable`: map from kit name to kit record.
  const Value& AAKitTable() const { return table_; }
  /// `_aakit_name`: the selected kit, empty for none.
  const std::string& aakit_name() const { return aakit_name_; }
  /// `_num_polarization`.
  std::int64_t num_polarization() const { return num_polarization_; }
  std::int64_t devtype() const { return devtype_; }
  std::int64_t total_ch() const { return total_ch_; }
  const std::vector<std::int64_t>& supportDevs() const { return support_devs_; }
  bool web_mode() const { return web_mode_; }
  /// The data directory; empty in web mode.
  const std::optional<std::filesystem::path>& defaultDir() const { return default_dir_; }

  /// Grows whenever the table, the selection or anything a getter answers may have changed:
  /// an answer made from the manager stands while this stands. Any thread may read it.
  std::uint64_t tableGeneration() const { return load_count(changes_); }

 private:
  /// How far a rename got when it failed.
  enum class RenameStage { checks, save, remove, done };
  struct RenameResult {
    RetType ret;
    RenameStage stage;
  };

  /// Takes one row of a kit file into `out`; false when the file is skipped at that row.
  bool readKitRow(const value::CsvRow& row, const std::string& path, AAKitFileReading& out) const;
  /// Marks a kit file as skipped for `msg`, logged at `level`.
  void skipKitFile(AAKitFileReading& out, log::Level level, std::string msg) const;
  /// The names of the fields (SPACING, STEERING_H, STEERING_V, OFFSET_TX, OFFSET_RX, given in
  /// that order) that do not hold the expected number of values.
  Value failedKitFields(const std::array<const Value*, 5>& values) const;
  /// Puts a checked record into the table as a new kit, an update or a rename.
  RetType storeKit(std::string name, Value record, std::int64_t custom, const KwCallback& callback,
                   const Value& newKitName);
  RenameResult renameAAKit(const std::string& oldName, const std::string& newName,
                           const KwCallback& callback = nullptr);
  /// The answer a checked deletion of `kitName` gives before it changes anything, or nullopt
  /// when every check passes. `require_file`: without `callback`, the kit's file must exist.
  std::optional<RetType> deletionRefusal(const std::string& kitName, const KwCallback& callback,
                                         bool require_file);
  /// The "not exist in list" answer when `kitName` is not listed (listing first reads the
  /// files when the table is empty).
  std::optional<RetType> notListed(const std::string& kitName);
  /// Keyword payload of a forwarded save or deletion, without the record.
  static Value forwardPayload(const char* func_name, const std::string& kitName);
  void renameOldFormKit(const std::string& oldName);
  RetType invalidName(const std::string& name) const;
  RetType logged_error(RetCode code, std::string msg) const;
  std::filesystem::path kitFilePath(const std::string& kitName) const;
  std::vector<std::string> kitRow(const Value& table, const std::string& field) const;
  std::int64_t fieldLimit(const std::string& field_name) const;

  log::Logger logger_;
  std::int64_t devtype_;
  std::int64_t num_polarization_;
  std::vector<std::int64_t> support_devs_;
  std::int64_t total_ch_;
  std::string aakit_name_;
  bool web_mode_;
  Value table_ = Value::object();
  std::optional<std::filesystem::path> default_dir_;
  std::uint64_t changes_ = 1;  // see tableGeneration()
};

}  // namespace arvcore::vlndev
