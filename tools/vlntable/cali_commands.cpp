#include "commands.hpp"

namespace vlntable {

void add_cali_commands(CLI::App& /*app*/) {}

}  // namespace vlntable
