#include "arvcore/tabledb/table_store.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "arvcore/tabledb/detail/table_store_common.hpp"
#include "arvcore/value/json.hpp"

namespace arvcore::tabledb {
namespace {

// A map of plain values up to this size is one unit: one read answers DR, an IC's offsets or
// its step ranges. Larger maps (a step's ComData) are split so that one entry is one row.
constexpr std::size_t kWholeMapLimit = 64;

bool stored_whole(const Value& v) {
  if (!v.is_object() || v.empty()) {
    return true;
  }
  if (v.size() > kWholeMapLimit) {
    return false;
  }
  for (const auto& [k, child] : v.items()) {
    if (child.is_object()) {
      return false;
    }
  }
  return true;
}

// Stored paths join keys with "."; a key's own "." and "\" are written "\." and "\\", so
// that a key such as "1.0" comes back as itself. Keys without them (every key a calibration
// file names by itself) are stored as they are, so older stores read the same.
std::string escape_key(std::string_view key) {
  if (key.find_first_of(".\\") == std::string_view::npos) {
    return std::string(key);
  }
  std::string out;
  for (char c : key) {
    if (c == '.' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out;
}

// The first key of the stored path `rel` and where the rest starts (npos at the last key).
std::pair<std::string, std::size_t> first_key(std::string_view rel) {
  std::string key;
  for (std::size_t i = 0; i < rel.size(); ++i) {
    if (rel[i] == '\\' && i + 1 < rel.size()) {
      key += rel[++i];
    } else if (rel[i] == '.') {
      return {std::move(key), i + 1};
    } else {
      key += rel[i];
    }
  }
  return {std::move(key), std::string_view::npos};
}

void split_into(const Value& v, const std::string& path, const value::JsonStandIn& stand_in,
                std::vector<Unit>& out) {
  if (stand_in && v.is_object()) {
    if (std::optional<Value> instead = stand_in(v)) {
      split_into(*instead, path, {}, out);  // freed once split
      return;
    }
  }
  if (!path.empty() && stored_whole(v)) {
    std::string json = value::dump_json(v, -1);
    json.shrink_to_fit();  // the writer's buffer is far larger than one entry
    out.push_back({path, std::move(json)});
    return;
  }
  for (const auto& [k, child] : v.items()) {
    split_into(child, path.empty() ? escape_key(k) : path + "." + escape_key(k), stand_in, out);
  }
}

// Puts a unit back at its relative path inside `root`, creating the maps on the way.
void place(Value& root, std::string_view rel, Value v) {
  Value* at = &root;
  while (true) {
    auto [key, rest] = first_key(rel);
    if (rest == std::string_view::npos) {
      (*at)[key] = std::move(v);
      return;
    }
    Value& next = (*at)[key];
    if (!next.is_object()) {
      next = Value::object();
    }
    at = &next;
    rel.remove_prefix(rest);
  }
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::shared_ptr<TableStore> open_store(const std::string& url) {
  static std::mutex mutex;
  static std::map<std::string, std::weak_ptr<TableStore>> stores;
  std::lock_guard lock(mutex);
  if (auto it = stores.find(url); it != stores.end()) {
    if (auto store = it->second.lock()) {
      return store;
    }
  }
  StoreLocator where = read_locator(url);
  std::shared_ptr<TableStore> store =
      where.postgres ? make_postgres_store(std::move(where.target), where.settings)
                     : make_sqlite_store(std::move(where.target), where.settings);
  stores[url] = store;
  return store;
}

std::vector<Unit> split_table(const Value& table, const value::JsonStandIn& stand_in) {
  std::vector<Unit> out;
  if (!table.is_object()) {
    throw TypeError("a calibration table must be a map");
  }
  split_into(table, "", stand_in, out);
  return out;
}

namespace {

// Dots between digits a requested path may hold as parts of keys, at most.
constexpr std::size_t kMostOwnDots = 4;

// The value at the "."-joined key path `rest` inside `v`. A key may hold a "." itself: when
// the text up to the next "." names no entry, the key runs on to the following one.
std::optional<Value> walk(Value v, std::string_view rest) {
  while (true) {
    if (!v.is_object()) {
      return std::nullopt;
    }
    auto it = v.end();
    std::size_t end = 0;
    while (true) {
      end = rest.find('.', end);
      it = v.find(std::string(rest.substr(0, end)));
      if (it != v.end() || end == std::string_view::npos) {
        break;
      }
      ++end;
    }
    if (it == v.end()) {
      return std::nullopt;
    }
    Value inner = std::move(*it);
    v = std::move(inner);
    if (end == std::string_view::npos) {
      return v;
    }
    rest.remove_prefix(end + 1);
  }
}

Value assemble(std::vector<Unit> units) {
  Value out = Value::object();
  for (auto& u : units) {
    place(out, u.path, value::parse_json(u.json));
  }
  return out;
}

}  // namespace

// `path` joins keys with "." as requests do, so a key holding a "." is not told from two keys
// by the path alone. The path is looked up as stored first (every key without a "." of its
// own); then a "." between two digits is also read as a key's own, as in a channel key "1.0",
// a step "COM_1.5" or a phase "22.5" - at most one lookup more for an ordinary missing entry.
std::optional<Value> resolve(Snapshot& snapshot, std::int64_t id, const std::string& path) {
  if (auto exact = snapshot.unit(id, path)) {
    return value::parse_json(*exact);
  }
  // A stored ancestor holds the value inside it (DR.TX lives in the unit DR).
  for (auto dot = path.rfind('.'); dot != std::string::npos && dot > 0;
       dot = path.rfind('.', dot - 1)) {
    if (auto outer = snapshot.unit(id, path.substr(0, dot))) {
      return walk(value::parse_json(*outer), std::string_view(path).substr(dot + 1));
    }
  }
  // A split map: put it back together from the units below it.
  if (auto below = snapshot.unitsUnder(id, path); !below.empty()) {
    return assemble(std::move(below));
  }
  std::vector<std::size_t> own;  // dots that may be a key's own, the last few
  for (std::size_t i = path.size(); i-- > 1 && own.size() < kMostOwnDots;) {
    if (path[i] == '.' && i + 1 < path.size() && is_digit(path[i - 1]) && is_digit(path[i + 1])) {
      own.push_back(i);
    }
  }
  const bool backslash = path.find('\\') != std::string::npos;
  for (unsigned mask = backslash ? 0 : 1; mask < (1u << own.size()); ++mask) {
    std::string stored;
    for (std::size_t i = 0; i < path.size(); ++i) {
      const auto at = std::find(own.begin(), own.end(), i);
      if (path[i] == '\\' || (at != own.end() && (mask >> (at - own.begin())) & 1u)) {
        stored += '\\';
      }
      stored += path[i];
    }
    if (auto exact = snapshot.unit(id, stored)) {
      return value::parse_json(*exact);
    }
  }
  return std::nullopt;
}

Value assemble_table(Snapshot& snapshot, std::int64_t id) {
  return assemble(snapshot.unitsUnder(id, ""));
}

}  // namespace arvcore::tabledb
