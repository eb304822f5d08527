#pragma once
// JSON text reading and writing. Writing matches Python's
// json.dump(obj, f, indent=N, ensure_ascii=False) byte for byte.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "arvcore/value/value.hpp"

namespace arvcore::value {

/// Deepest nesting of lists and maps that JSON reading accepts: kMaxNestingDepth unless set
/// lower. Deeper text is refused with arvcore::ValueError.
int max_read_depth();

/// Sets that depth (clamped to 1..kMaxNestingDepth). A host that takes values over level by
/// level on a bounded stack (the Python package) sets what it can take, so that every table
/// the module reads can also be handed over, and a deeper one fails where it is read.
void set_max_read_depth(int depth);

/// Parses one JSON document. Objects keep their key order; a repeated key keeps its first
/// position and its last value. Throws arvcore::ValueError on malformed text or bad UTF-8.
Value parse_json(std::string_view text);

/// Reads and parses a UTF-8 JSON file. Throws arvcore::OSError when it cannot be read.
Value read_json_file(const std::filesystem::path& path);

/// Serialises like Python's json.dumps(v, indent=indent, ensure_ascii=False).
/// indent < 0 means no indentation (Python's indent=None: ", " and ": " separators).
std::string dump_json(const Value& v, int indent);

/// Stands in for maps whose content is kept elsewhere: the map to write in place of `map` (made
/// when it is reached and freed once written), or nothing to write `map` itself.
using JsonStandIn = std::function<std::optional<Value>(const Value& map)>;

/// dump_json(v, indent) with every map of `v` that `stand_in` answers written as its answer.
std::string dump_json(const Value& v, int indent, const JsonStandIn& stand_in);

/// Writes dump_json(v, indent) to `path` through a temporary file in the same directory that
/// is renamed over the target, so a failed write leaves any previous file untouched.
void write_json_file(const std::filesystem::path& path, const Value& v, int indent);
/// The same with the maps that `stand_in` answers written as its answers.
void write_json_file(const std::filesystem::path& path, const Value& v, int indent,
                     const JsonStandIn& stand_in);

}  // namespace arvcore::value
