#include "commands.hpp"

namespace vlntable {

void add_kit_commands(CLI::App& /*app*/) {}

}  // namespace vlntable
