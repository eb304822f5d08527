#pragma once
// Texts from tables, file names and command lines made fit for a terminal or a log line.

#include <string>
#include <string_view>

namespace arvcore::value {

/// `text` with control characters (C0, DEL and C1), bytes that are not UTF-8 and "\" written
/// as escapes ("\n", "\t", "\r", "\x1b", "\u0085", "\xff", "\\"), so that a serial number or
/// file name read from outside can neither forge a line nor drive the terminal. Every other
/// character stays as it is.
std::string printable(std::string_view text);

}  // namespace arvcore::value
