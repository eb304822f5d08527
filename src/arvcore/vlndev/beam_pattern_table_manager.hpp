#pragma once
// Beam pattern tables of one beamformer device: one JSON table per frequency and antenna
// kit, holding the BEAM (gain, theta, phi) or CHANNEL (channel by channel) pattern stored
// under each beam id of each RF mode. Patterns are vetted by the device's own checks before
// they are stored.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "arvcore/sdk/enums.hpp"
#include "arvcore/sdk/log_format.hpp"
#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/value.hpp"
#include "arvcore/vlndev/callbacks.hpp"
#include "arvcore/vlndev/enums.hpp"

namespace arvcore::vlndev {

/// The device's steered-beam check: (mode, db, theta, phi, null). When it answers OK, its
/// data is a list of the three values to store (the device may adjust them).
using BeamCheckFn = std::function<RetType(RFMode, const Value& db, const Value& theta,
                                          const Value& phi, const Value& none)>;
/// The device's channel-group check: (mode, zero-based group index, the group's channel
/// gains, the group's common gain). Only the answer's code counts.
using IcGainCheckFn = std::function<RetType(RFMode, std::int64_t group_index, const Value& gains,
                                            const Value& common_db)>;

/// The two checks a device hands to its beam manager. Either may be empty; a set that needs
/// a missing check fails.
struct CheckFuncs {
  BeamCheckFn beam_checking;
  IcGainCheckFn ic_gain_checking;
};

/// Enumeration arguments as the device passes them: a member or its integer value.
using RFModeArg = std::variant<RFMode, std::int64_t>;
using BeamTypeArg = std::variant<BeamType, std::int64_t>;
using ModeFilterArg = std::variant<BTModeFilter, std::int64_t>;
using SetOptionArg = std::variant<BTSetOption, std::int64_t>;

/// Beam-table manager of one device.
class BeamPatternTableManager {
 public:
  /// `rf_layout` gives (boards, ICs per board, channels per IC), directly or through a
  /// function; anything but three non-negative integers is rejected here.
  BeamPatternTableManager(Value sn, Value devtype, std::int64_t num_beam,
                          const std::variant<RfLayoutFn, Value>& rf_layout,
                          std::optional<CheckFuncs> check_funcs, bool is_web_mode = false);

  // --- lifecycle -------------------------------------------------------------------------

  /// Stores the frequency and the gain limits (getDR(), getCOMDR(), getELEDR() data) that
  /// default beams and legacy conversion use. Loads nothing.
  void _updateFreq(Value freq, Value DR, Value comDR, Value eleDR);
  /// Stores the kit name. Loads nothing.
  void _updateAAKit(std::string kitName);
  /// Reads (or creates, converts, upgrades) the table of `freq` and `aakit`. With a callback,
  /// hands the load to it and answers its result. Without `answer_table`, a successful load
  /// answers no data (the caller reads the table through BeamTable() instead of a copy).
  RetType _load(const Value& freq, const std::string& aakit = "",
                const KwCallback& callback = nullptr, bool answer_table = true);
  /// Writes `new_table` (null: the loaded table) to the table file, or hands it to
  /// `callback`.
  RetType _saveToBeamTableFile(const KwCallback& callback = nullptr,
                               const Value& new_table = nullptr);
  /// Data: how many beam ids each RF mode has.
  RetType getBeamIdStorage() const;

  // --- single beams ----------------------------------------------------------------------

  /// Data: the entry stored under `beamId`, or the default CHANNEL beam when none is.
  RetType getBeamPattern(RFModeArg mode, std::int64_t beamId);
  /// Sets one pattern after the device's checks passed. `config` is a map or null (else
  /// TypeError), `description` a string or null (else TypeError).
  RetType setBeamPattern(RFModeArg mode, std::int64_t beamId, BeamTypeArg beamType,
                         const Value& config = nullptr, const Value& description = nullptr,
                         bool save = true);

  // --- batches ---------------------------------------------------------------------------

  /// Data: {"TX": mode map, "RX": mode map} as selected by the filter; with a callback the
  /// table is loaded through it first.
  RetType _getBatchBeamPattern(ModeFilterArg mode_filter = BTModeFilter::ALL,
                               const KwCallback& callback = nullptr);
  /// Validates, echoes, merges or replaces a batch of beam entries as `option` says.
  /// `batch_config` must be a map (else TypeError).
  RetType _setBatchBeamPattern(const Value& batch_config, SetOptionArg option,
                               const KwCallback& callback);

  // --- readable members ------------------------------------------------------------------

  /// `_BeamTable`: the loaded table, null when none is loaded.
  const Value& BeamTable() const { return beam_table_; }
  const Value& sn() const { return sn_; }
  const Value& devtype() const { return devtype_; }
  const Value& freq() const { return freq_; }
  const std::string& aakit() const { return aakit_; }
  const std::string& path() const { return path_; }
  /// The "BeamTable" directory; empty in web mode.
  const std::optional<std::filesystem::path>& defaultDir() const { return default_dir_; }
  std::int64_t num_beam() const { return num_beam_; }
  std::int64_t num_board() const { return num_board_; }
  std::int64_t num_ic_per_board() const { return num_ic_per_board_; }
  std::int64_t num_channel_per_ic() const { return num_channel_per_ic_; }
  std::int64_t totalCH() const { return total_ch_; }
  bool web_mode() const { return web_mode_; }

  // --- change counters -------------------------------------------------------------------

  /// Grows whenever the table may have changed as a whole (loaded, replaced, dropped).
  std::uint64_t tableGeneration() const;
  /// Grows whenever anything of `mode`'s beams may have changed.
  std::uint64_t modeGeneration(RFMode mode) const;
  /// Grows whenever the entry under `beamId` of `mode` may have changed: something made from
  /// the entry stays good while this stands.
  std::uint64_t entryGeneration(RFMode mode, std::int64_t beamId) const;
  /// The entry counters of `mode` by beam id (0 unused), without the table's; ids beyond them
  /// count as changes of the whole table. Read under the caller's lock.
  std::span<const std::uint64_t> entryGenerations(RFMode mode) const;

  /// File name of the table of a device, frequency and kit
  /// ("Beam_Configuration_SN_28GHz_KIT.json").
  static std::string table_file_name(const Value& sn, const Value& freq, const std::string& aakit);
  /// Why a serial number or kit name cannot name a table file (it could reach outside the
  /// "BeamTable" directory); "" when they can.
  static std::string name_problem(const Value& sn, const std::string& aakit);

 private:
  // Loading.
  /// Keyword payload of a load handed to the web layer.
  Value loadRequest(const Value& freq, const std::string& aakit) const;
  /// Reads, converts or upgrades the table file at path_ and makes it the loaded table.
  RetType loadTableFile(bool answer_table);
  /// The table file at path_ as read (made first with the default table when missing).
  Value readTableFile();

  void generateDefaultBeam(Value& beam, BeamType beam_type, RFMode mode) const;
  RetType generateDefaultBeamTableFile();

  // Legacy tables (a "version" key and per-mode beam lists).
  RetType convertLegacyTable(Value& table, const Value& ver);
  /// Tables older than the legacy limit kept steering fields on every beam.
  void liftOldestBeamFields(Value& table) const;
  /// One mode's legacy beam list as a map from beam id to entry.
  RetType convertLegacyBeams(const Value& list, const std::string& name, RFMode mode,
                             Value& mode_map) const;
  /// A legacy channel list as the channel groups of `entry`.
  RetType convertLegacyChannels(const Value& beam, const std::string& name, RFMode mode,
                                Value& entry) const;

  // Setting beams.
  RetType validateChannelConfig(const Value& config, RFMode mode) const;
  RetType checkChannelGroups(const Value& entry, RFMode mode, bool batch_wording) const;
  RetType setBeam(const RFModeArg& mode, std::int64_t beamId, const Value& beamType,
                  const Value& config, const Value& description, bool save);
  /// Completes a steered entry from `config` (or its stored steering) as the beam check
  /// answers it.
  RetType checkSteeredEntry(Value& entry, RFMode mode, const Value& config,
                            const Value& description) const;
  /// Completes a channel entry from `config` and has its groups checked; a null entry means
  /// the stored beam goes.
  RetType checkChannelEntry(Value& entry, RFMode mode, std::int64_t beamId,
                            const Value& config) const;
  /// Puts a checked entry (null: none) under `beamId` and saves when asked.
  RetType storeBeam(RFMode mode, std::int64_t beamId, Value entry, bool save);
  RetType saveBatch(const Value& batch_config, bool replace_all, const KwCallback& callback);
  RetType mergeBatch(const Value& batch);
  RetType validateBatch(const Value& batch_config) const;
  RetType checkBeam(RFMode mode, const Value& db, const Value& theta, const Value& phi) const;
  const Value& comdrMax(RFMode mode, std::int64_t group) const;
  const Value& eledrLimit(RFMode mode, std::int64_t group) const;
  void tableChanged();
  void entryChanged(RFMode mode, std::int64_t beamId);

  log::Logger logger_{"BeamTbl"};
  bool web_mode_ = false;
  BeamCheckFn func_beam_checking_;
  IcGainCheckFn func_ic_gain_checking_;
  std::optional<std::filesystem::path> default_dir_;  // absent in web mode
  std::string path_;
  std::string unsafe_name_;  // why the current kit/SN cannot name a file; "" when it can
  Value sn_;
  Value devtype_;
  std::int64_t num_beam_ = 0;
  Value freq_;
  Value dr_ = Value::object();
  Value comdr_ = Value::object();
  Value eledr_ = Value::object();
  std::string aakit_;
  std::int64_t num_board_ = 0;
  std::int64_t num_ic_per_board_ = 0;
  std::int64_t num_channel_per_ic_ = 0;
  std::int64_t total_ch_ = 0;
  Value beam_table_;
  // Ids beyond are counted with the whole table: their counters would cost memory for nothing.
  static constexpr std::int64_t kCountedBeams = 65536;
  // One count of changes; each counter holds the count at the last change it covers.
  std::uint64_t changes_ = 1;
  std::uint64_t table_generation_ = 1;
  std::array<std::uint64_t, 2> mode_generation_{};
  std::array<std::vector<std::uint64_t>, 2> entry_generation_;  // by beam id, sized once
};

/// A stand-in for a device layout: (4, 1, 4).
Value fake_rf_layout();
/// A stand-in beam check that accepts everything: data = [b, c, d].
RetType fake_check(const Value& a, const Value& b, const Value& c, const Value& d);
/// A stand-in group check that accepts everything: data = c.
RetType fake_ic_check(const Value& a, const Value& b, const Value& c);

}  // namespace arvcore::vlndev
