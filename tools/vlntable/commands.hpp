#pragma once
// Sub-command groups of the vlntable operator command.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "arvcore/sdk/ret_type.hpp"
#include "arvcore/value/value.hpp"

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
/// `vlntable cali plot` and `vlntable kit plot`, added to the groups made above.
void add_plot_commands(CLI::App& app);
/// `vlntable db ...`: the table database of web mode.
void add_db_commands(CLI::App& app);
/// `vlntable cali check|diff|list`, added to the "cali" group.
void add_cali_tool_commands(CLI::App& app);
/// `vlntable cali diff`, added to the "cali" group.
void add_cali_diff_command(CLI::App& app);

}  // namespace vlntable

namespace arvcore::vlndev {
class CalibrationTableManager;
}

namespace vlntable {

/// The query part of `vlntable cali show`: dynamic ranges, COMDR/ELEDR per IC section, TC
/// and common-arm step ranges, as readable tables.
void show_cali_queries(arvcore::vlndev::CalibrationTableManager& manager, std::ostream& out);

/// What the `plot` sub-commands need, for their --help.
extern const char* const plot_requirements;

/// Runs `python3 -m arvcore.plot ARGS` in place of this process (see plot_requirements for
/// how the interpreter and the package are found). Returns only when the interpreter cannot be
/// started, with a message printed and exit status 2.
int run_python_plot(const std::vector<std::string>& args);

/// Prints `doc` as the one JSON document of a `--json` command (indented by 2). Numbers that
/// strict JSON cannot hold (NaN, infinities) are written as null.
void print_json(const arvcore::Value& doc);

/// `doc` with every NaN or infinite number replaced by null.
arvcore::Value strict_json(arvcore::Value doc);

/// The failure document of a `--json` command: {"error": message}.
void print_json_error(const std::string& message);

/// Whether the command line asked for `--json`: failures then end in print_json_error's
/// document on standard output as well as the message on standard error.
bool& json_requested();

/// A result envelope as JSON: {"code": "OK", "message": ""}.
arvcore::Value result_json(const arvcore::RetType& r);

/// The query part of `vlntable cali show --json`: "DR", "COMDR", "ELEDR" and "TC" as the
/// manager answers them, "COMSTEPDR" per section and mode; a part the table cannot answer is
/// null, with the reason under "unavailable".
arvcore::Value cali_queries_json(arvcore::vlndev::CalibrationTableManager& manager);

/// Exit status of a sub-command, set by its callback.
int& exit_status();

/// Runs one sub-command body and stores its exit status. Bad options and unexpected failures
/// end with a message on standard error and `failure_status` instead of an abort.
void run_guarded(const std::function<int()>& body, int failure_status = 2);

}  // namespace vlntable
