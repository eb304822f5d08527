#include "arvcore/sdk/table_store.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "arvcore/sdk/table_store_common.hpp"
#include "arvcore/sdk/utils.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"

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

void split_into(const Value& v, const std::string& path, std::vector<Unit>& out) {
  if (!path.empty() && stored_whole(v)) {
    std::string json = value::dump_json(v, -1);
    json.shrink_to_fit();  // the writer's buffer is far larger than one entry
    out.push_back({path, std::move(json)});
    return;
  }
  for (const auto& [k, child] : v.items()) {
    split_into(child, path.empty() ? k : path + "." + k, out);
  }
}

// Puts a unit back at its relative path inside `root`, creating the maps on the way.
void place(Value& root, std::string_view rel, Value v) {
  Value* at = &root;
  while (true) {
    const auto dot = rel.find('.');
    const std::string key(rel.substr(0, dot));
    if (dot == std::string_view::npos) {
      (*at)[key] = std::move(v);
      return;
    }
    Value& next = (*at)[key];
    if (!next.is_object()) {
      next = Value::object();
    }
    at = &next;
    rel.remove_prefix(dot + 1);
  }
}

constexpr double kDefaultQueryTimeoutSeconds = 5;

double parse_seconds(const std::string& text, const std::string& what) {
  double v = -1;
  try {
    v = value::parse_float(text);
  } catch (const ValueError&) {
  }
  if (!(v >= 0) || v > 1e9) {
    throw ValueError(fmt::format("{} must be a number of seconds, not '{}'", what, text));
  }
  return v;
}

bool starts_with_scheme(const std::string& url, std::string_view scheme) {
  return url.rfind(scheme, 0) == 0;
}

}  // namespace

double seconds_from_env(const char* name, double fallback) {
  const char* env = std::getenv(name);
  return env == nullptr || *env == '\0' ? fallback : parse_seconds(env, fmt::format("${}", name));
}

double StoreSettings::grace() const {
  return grace_s ? *grace_s : seconds_from_env("ARVCORE_TABLE_DB_GRACE", kDefaultGraceSeconds);
}

double StoreSettings::queryTimeout() const {
  return query_timeout_s
             ? *query_timeout_s
             : seconds_from_env("ARVCORE_TABLE_DB_QUERY_TIMEOUT", kDefaultQueryTimeoutSeconds);
}

StoreSettings take_store_settings(std::string& url) {
  StoreSettings out;
  const auto q = url.find('?');
  if (q == std::string::npos) {
    return out;
  }
  std::string kept;
  std::size_t start = q + 1;
  while (start <= url.size()) {
    const auto amp = std::min(url.find('&', start), url.size());
    const std::string param = url.substr(start, amp - start);
    const auto eq = param.find('=');
    const std::string key = param.substr(0, eq);
    const std::string val = eq == std::string::npos ? "" : param.substr(eq + 1);
    if (key == "grace") {
      out.grace_s = parse_seconds(val, "grace");
    } else if (key == "query_timeout") {
      out.query_timeout_s = parse_seconds(val, "query_timeout");
    } else if (!param.empty()) {
      kept += (kept.empty() ? "" : "&") + param;
    }
    start = amp + 1;
  }
  if (out.grace_s || out.query_timeout_s) {  // else the URL stays exactly as given
    url = url.substr(0, q) + (kept.empty() ? "" : "?" + kept);
  }
  return out;
}

std::string configured_url() {
  if (const char* env = std::getenv("ARVCORE_TABLE_DB"); env != nullptr && *env != '\0') {
    return env;
  }
  return (std::filesystem::path(Utils::get_files_dir()) / "calibration.db").string();
}

std::string redact_url(const std::string& url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string::npos) {
    return url;
  }
  const auto auth_start = scheme_end + 3;
  const auto at = url.find('@', auth_start);
  const auto slash = url.find('/', auth_start);
  if (at == std::string::npos || (slash != std::string::npos && at > slash)) {
    return url;
  }
  const auto colon = url.find(':', auth_start);
  if (colon == std::string::npos || colon > at) {
    return url;
  }
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

std::shared_ptr<TableStore> open_store(const std::string& url) {
  static std::mutex mutex;
  static std::map<std::string, std::weak_ptr<TableStore>> stores;
  std::lock_guard lock(mutex);
  if (auto it = stores.find(url); it != stores.end()) {
    if (auto store = it->second.lock()) {
      return store;
    }
  }
  std::shared_ptr<TableStore> store;
  if (starts_with_scheme(url, "postgresql://") || starts_with_scheme(url, "postgres://")) {
    store = make_postgres_store(url);
  } else if (starts_with_scheme(url, "sqlite://")) {
    // sqlite:///abs/path keeps its leading slash; sqlite://rel/path is relative.
    store = make_sqlite_store(url.substr(std::string_view("sqlite://").size()));
  } else {
    store = make_sqlite_store(url);
  }
  stores[url] = store;
  return store;
}

std::vector<Unit> split_table(const Value& table) {
  std::vector<Unit> out;
  if (!table.is_object()) {
    throw TypeError("a calibration table must be a map");
  }
  split_into(table, "", out);
  return out;
}

std::optional<Value> resolve(Snapshot& snapshot, std::int64_t id, const std::string& path) {
  if (auto exact = snapshot.unit(id, path)) {
    return value::parse_json(*exact);
  }
  // A stored ancestor holds the value inside it (DR.TX lives in the unit DR).
  for (auto dot = path.rfind('.'); dot != std::string::npos && dot > 0;
       dot = path.rfind('.', dot - 1)) {
    if (auto outer = snapshot.unit(id, path.substr(0, dot))) {
      Value v = value::parse_json(*outer);
      std::string_view rest(path);
      rest.remove_prefix(dot + 1);
      while (true) {
        const auto next = rest.find('.');
        const std::string key(rest.substr(0, next));
        if (!v.is_object()) {
          return std::nullopt;
        }
        auto it = v.find(key);
        if (it == v.end()) {
          return std::nullopt;
        }
        Value inner = std::move(*it);
        v = std::move(inner);
        if (next == std::string_view::npos) {
          return v;
        }
        rest.remove_prefix(next + 1);
      }
    }
  }
  // A split map: put it back together from the units below it.
  auto below = snapshot.unitsUnder(id, path);
  if (below.empty()) {
    return std::nullopt;
  }
  Value out = Value::object();
  for (auto& u : below) {
    place(out, u.path, value::parse_json(u.json));
  }
  return out;
}

Value assemble_table(Snapshot& snapshot, std::int64_t id) {
  Value out = Value::object();
  for (auto& u : snapshot.unitsUnder(id, "")) {
    place(out, u.path, value::parse_json(u.json));
  }
  return out;
}

}  // namespace arvcore::tabledb
