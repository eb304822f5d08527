#include "commands.hpp"

namespace vlntable {

void add_beam_commands(CLI::App& /*app*/) {}

}  // namespace vlntable
