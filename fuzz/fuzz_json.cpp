// JSON reading, and writing what was read.
//
// Input: the JSON text. Whatever the reader accepts, the writer must write in a form the
// reader accepts again and that writes back the same (indented and compact forms alike).

#include <cstdint>
#include <string>
#include <string_view>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/json.hpp"
#include "fuzz_support.hpp"

namespace {

namespace av = arvcore::value;

void check_rewrites_the_same(const arvcore::Value& v, int indent) {
  const std::string written = av::dump_json(v, indent);
  arvcore::Value again;
  try {
    again = av::parse_json(written);
  } catch (const arvcore::Error&) {
    arvcore::fuzz::fail("written JSON does not read back");
  }
  if (av::dump_json(again, indent) != written) {
    arvcore::fuzz::fail("written JSON reads back as a different value");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  arvcore::Value v;
  try {
    v = av::parse_json(text);
  } catch (const arvcore::Error&) {
    return 0;
  }
  check_rewrites_the_same(v, 2);
  check_rewrites_the_same(v, -1);
  return 0;
}
