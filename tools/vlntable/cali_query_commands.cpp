#include "commands.hpp"

namespace vlntable {

void add_cali_query_commands(CLI::App& /*app*/) {}

void show_cali_queries(arvcore::vlndev::CalibrationTableManager& /*manager*/,
                       std::ostream& /*out*/) {}

}  // namespace vlntable
