#pragma once
// Sub-command groups of the vlntable operator command.

#include <functional>
#include <ostream>

#include <CLI/CLI.hpp>

namespace vlntable {

/// `vlntable cali ...`: calibration tables.
void add_cali_commands(CLI::App& app);
/// `vlntable cali offsets|comdata`, added to the "cali" group made above.
void add_cali_query_commands(CLI::App& app);
/// `vlntable kit ...`: antenna-kit tables.
void add_kit_commands(CLI::App& app);
/// `vlntable delta SN`: converter delta frequency.
void add_delta_commands(CLI::App& app);
/// `vlntable beam ...` and `vlntable device ...`: beam tables and the frequency-change walk.
void add_beam_commands(CLI::App& app);
/// `vlntable db ...`: the table database of web mode.
void add_db_commands(CLI::App& app);

}  // namespace vlntable

namespace arvcore::vlndev {
class CalibrationTableManager;
}

namespace vlntable {

/// The query part of `vlntable cali show`: dynamic ranges, COMDR/ELEDR per IC section, TC
/// and common-arm step ranges, as readable tables.
void show_cali_queries(arvcore::vlndev::CalibrationTableManager& manager, std::ostream& out);

/// Exit status of a sub-command, set by its callback.
int& exit_status();

/// Runs one sub-command body and stores its exit status. Bad options and unexpected failures
/// end with a message on standard error and `failure_status` instead of an abort.
void run_guarded(const std::function<int()>& body, int failure_status = 2);

}  // namespace vlntable
