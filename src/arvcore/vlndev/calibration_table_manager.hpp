#pragma once
// Calibration tables of one beamformer device: file discovery, CSV parse, JSON import, and
// the gain-limit, offset, temperature-compensation and ComData queries served from them.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "arvcore/base/change_count.hpp"
#include "arvcore/sdk/enums.hpp"
#include "arvcore/sdk/log_format.hpp"
#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/table_memory.hpp"
#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/callbacks.hpp"
#include "arvcore/vlndev/vln_table_db.hpp"

namespace arvcore::vlndev {

namespace detail {
class CaliData;
}

/// An RF mode argument as the device passes it: a member of either mode enumeration, a plain
/// integer, or nothing.
using ModeArg = std::variant<std::monostate, RFMode, CellRFMode, std::int64_t>;

/// Calibration manager of one device (serial number) and one frequency at a time.
class CalibrationTableManager {
 public:
  /// Three set-ups: built-in polarization table (support_polar), table database
  /// (is_web_mode), or local CSV files in the data directory.
  CalibrationTableManager(std::string sn, Value freq, const RfLayoutFn& rf_layout,
                          bool support_polar = false, bool is_web_mode = false,
                          bool fetchCsvFromFile = true);

  // --- files, parse, import -------------------------------------------------------------

  /// Finds and parses the calibration file of `freq` (or reads `fileObject`, which stays
  /// open), checks its header, and optionally exports the table as JSON next to the file
  /// (only a table parsed completely; a failed export throws arvcore::OSError). A frequency
  /// that is not a finite positive number is refused. Log records name a stream
  /// `streamName` (the path of the file it reads), else "the given stream".
  RetType parse(const Value& freq, std::istream* fileObject = nullptr, bool exportToJson = false,
                const std::string& streamName = {});
  /// Loads the JSON export of the current frequency in place of the CSV parse.
  RetType parseRawJson();
  /// Path of the file of the current frequency (string), or false; rebuilds the frequency list.
  Value _searchCaliFile(const std::string& extension = ".csv");
  /// Data: whether any calibration table exists for this serial number.
  RetType checkCaliTableLocation();
  /// Data: the frequencies that have a table.
  RetType getFrequencyList(bool force_refresh = false);
  /// Data: the version text of the current table.
  RetType queryCaliTableVer();

  // --- queries ---------------------------------------------------------------------------

  /// Total dynamic range: the whole "DR" map, or one mode's entry.
  RetType getDR(ModeArg rf_mode = std::monostate{});
  /// Common-arm ranges per mode and IC section.
  RetType getCOMDR();
  /// Element-arm limits per mode and IC section.
  RetType getELEDR();
  /// Bare COMDR element of one mode and zero-based IC position.
  Value _getBoardCOMDR(std::variant<RFMode, std::int64_t> mode, std::int64_t board_idx);
  /// Bare ELEDR element of one mode and zero-based IC position.
  Value _getBoardELEDR(std::variant<RFMode, std::int64_t> mode, std::int64_t board_idx);
  /// Offsets of `boards` (chip `chip`) for mode `rf_mode_str`; a database failure answers
  /// its envelope instead.
  std::variant<Value, RetType> _getBoardsOffset(const std::vector<std::int64_t>& boards,
                                                const std::string& rf_mode_str = "TX",
                                                std::int64_t chip = 1);
  /// Temperature-compensation lists of every IC section, wrapped in a one-element list.
  Value _getTC();
  /// Common-arm step names whose range covers [min, max]. In web mode a database failure,
  /// and a board or mode the table lacks, answer an error envelope naming it instead (local
  /// mode raises KeyError for those).
  std::variant<Value, RetType> _searchComStepDR(std::int64_t board, const std::string& rf_mode_str,
                                                double min, double max,
                                                const Value& polar = nullptr);
  /// A common-arm step and its range as numbers.
  struct ComStepRange {
    std::string step;
    double upper = 0;
    double lower = 0;
  };
  /// The common-arm steps of a local table's `board` and `rf_mode_str`, in table order, for a
  /// caller that searches them often: what _searchComStepDR reads, as numbers. Empty when the
  /// table has no such map, or an entry is not a pair of numbers (the search then reads them
  /// one by one and fails where it fails).
  std::optional<std::vector<ComStepRange>> comStepRanges(std::int64_t board,
                                                         const std::string& rf_mode_str) const;
  /// ComData entries of a whole chain, grouped by board and step. `channel`, `gain`, `phase`
  /// and `com_list` must be lists (TypeError otherwise).
  Value _getComData(const std::string& rf_mode_str, std::int64_t board, std::int64_t chip,
                    const Value& channel, const Value& gain, const Value& phase,
                    const Value& com_list);

  // --- readable members --------------------------------------------------------------------

  const std::string& sn() const { return sn_; }
  /// `_CaliTable`; null in web mode, where no table is created. The first call after a parse
  /// builds the whole tree from the header tree and the DATA store; it is kept until the
  /// table changes.
  const Value& CaliTable() const;
  /// `_CaliTable` without its ComData entries: after a CSV parse every "DATA_CHIP_" map holds
  /// an empty map in its place (the entries are in caliData()); any other table whole.
  const Value& caliTableHeader() const;
  /// A copy of the entry of `_CaliTable` under `path`, one map key per element; KeyError names
  /// the first key that is missing. Only the part asked for is built. `with_data` false
  /// answers the entry of caliTableHeader() instead.
  Value caliTableEntry(std::span<const std::string> path, bool with_data = true) const;
  /// The ComData entries of a parsed CSV table; null for any other table.
  const detail::CaliData* caliData() const { return cali_data_.get(); }
  const Value& freq_list() const { return freq_list_; }
  const std::string& path_cali() const { return path_cali_; }
  /// `defaultDir`; empty when the set-up has none.
  const std::optional<std::filesystem::path>& defaultDir() const { return default_dir_; }
  std::int64_t num_board() const { return num_board_; }
  std::int64_t num_ic_per_board() const { return num_ic_per_board_; }
  std::int64_t num_channel_per_ic() const { return num_channel_per_ic_; }
  const std::string& cali_table_ver_limit() const { return cali_table_ver_limit_; }
  bool web_mode() const { return web_mode_; }
  bool support_polar() const { return support_polar_; }
  /// The table database facade (web mode only, else null).
  VLNTableDB* db() const { return db_.get(); }

  /// Grows whenever the table, the frequency list or anything a getter answers may have
  /// changed: an answer made from the manager stands while this stands. Any thread may read it.
  std::uint64_t tableGeneration() const { return load_count(changes_); }

  /// The built-in calibration table of polarization devices (shared, never copied).
  static const std::shared_ptr<const Value>& zinnet_cali();

 private:
  // parse helpers
  std::optional<RetType> findCaliFile(const Value& freq);
  RetType readCaliRows(std::istream* fileObject, const std::string& streamName, Value& table,
                       detail::CaliData& data);
  void exportCaliJson(const RetType& result, bool from_stream, const Value& table);
  void dropCaches();
  // query helpers
  const Value& getXXXDR(const std::string& key);
  /// The web-mode step map of IC section `board` and `rf_mode_str`, from the range cache;
  /// VLNTableDBError names a section or mode the table lacks.
  const Value& webStepMap(std::int64_t board, const std::string& rf_mode_str);
  /// The temperature-compensation lists of the first `ic_count` IC sections.
  Value tcChain(std::int64_t ic_count, bool from_db) const;
  Value appendComDictToList(const Value& comDict, double min, double max) const;

  // Declared first, so that it runs last: the header trees of parsed tables are small, and
  // their freeing alone would not make the pool look for memory to give back.
  value::ReleaseWhenDropped release_when_dropped_;
  log::Logger logger_;
  std::string sn_;
  Value freq_;                        // __freq: integer or float, as given
  Value freq_list_ = Value::array();  // _freq_list: floats
  bool support_polar_ = false;
  bool web_mode_ = false;
  std::int64_t num_board_ = 0;
  std::int64_t num_ic_per_board_ = 0;
  std::int64_t num_channel_per_ic_ = 0;
  std::string cali_table_ver_limit_ = "2.0.0";

  // The whole tree of _CaliTable built on first need from cali_table_ and cali_data_. Freed
  // after them (it is declared first), so that the memory of a whole table goes back with
  // that of its header tree rather than stay for the header tree's sake.
  mutable std::shared_ptr<const Value> whole_table_;
  // _CaliTable: own table in local mode, the shared built-in one on polarization devices
  // (until a parse replaces it), null in web mode. After a CSV parse its chip maps are empty:
  // the DATA rows are in cali_data_.
  std::shared_ptr<const Value> cali_table_;
  std::shared_ptr<const detail::CaliData> cali_data_;
  std::shared_ptr<Value> db_template_;  // web mode: {"sn", "frequency"}
  std::unique_ptr<VLNTableDB> db_;      // web mode only
  std::optional<std::filesystem::path> default_dir_;
  std::string path_cali_;

  // Caches, dropped by every parse without a file object.
  std::optional<Value> all_xxx_dr_;  // __allXXXDR; stored only once complete
  std::map<std::pair<std::vector<std::int64_t>, std::int64_t>, Value>
      all_offset_;                           // by (boards, chip)
  Value all_comdata_map_ = Value::object();  // __allComDataMap: web-mode ComData by cache key

  std::uint64_t changes_ = 1;  // see tableGeneration()
};

}  // namespace arvcore::vlndev
