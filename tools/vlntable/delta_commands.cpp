#include "commands.hpp"

namespace vlntable {

void add_delta_commands(CLI::App& /*app*/) {}

}  // namespace vlntable
