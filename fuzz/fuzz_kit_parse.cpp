// The kit file parse (with the renaming of custom kits in the old naming form), then a save
// of every kit read: a saved kit must read back as the same record.
//
// Input: the text of one kit file, for a 16-channel device of type 9.

#include <cstdint>
#include <memory>
#include <string>

#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/aakit_table_manager.hpp"
#include "fuzz_support.hpp"

namespace {

using arvcore::vlndev::AAKitTableManager;

AAKitTableManager& manager() {
  static std::unique_ptr<AAKitTableManager> m = [] {
    arvcore::fuzz::quiet_logging();
    arvcore::fuzz::scratch_dir();
    return std::make_unique<AAKitTableManager>(9, 16, "files/", 1, std::vector<std::int64_t>{9});
  }();
  return *m;
}

// Records compare as dicts do, whatever their key order (a file may list its rows in any
// order; a save writes them in field order); values compare in their written form, where a
// NaN equals itself.
bool same_record(const arvcore::Value& a, const arvcore::Value& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (const auto& [key, value] : a.items()) {
    const auto it = b.find(key);
    if (it == b.end() ||
        arvcore::value::dump_json(*it, -1) != arvcore::value::dump_json(value, -1)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AAKitTableManager& m = manager();
  arvcore::fuzz::clear_scratch_dir();
  arvcore::fuzz::write_input(arvcore::fuzz::scratch_dir() / "AAKIT_fuzz.csv", data, size);
  if (!m.parse().ok()) {
    return 0;
  }
  m.getAAKitList();
  const arvcore::Value table = m.AAKitTable();
  for (const auto& [name, record] : table.items()) {
    m._selectAAKit(name);
    m.getAAKitInfo();
    if (!m.saveAAKitFile(name, nullptr, false).ok()) {
      continue;  // a record without every field cannot be written
    }
    const auto reading = m.readKitFile(arvcore::fuzz::scratch_dir() / ("AAKIT_" + name + ".csv"));
    if (reading.skipped || reading.name != name || !same_record(reading.record, record)) {
      arvcore::fuzz::fail("a saved kit does not read back as its record");
    }
  }
  return 0;
}
