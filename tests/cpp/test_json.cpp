// JSON reading and writing: kinds of numbers, key order, files, and refusals.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"

namespace {

using arvcore::Value;
namespace av = arvcore::value;
namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/arvcore_json_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Json, KeepsNumberKindsAndKeyOrder) {
  const Value v = av::parse_json(
      R"({"z": 1, "a": 5.0, "m": -0, "big": 18446744073709551615, "neg": -9223372036854775808,
          "e": 1e2, "z": [true, null, "x"], "nan": NaN, "inf": -Infinity, "huge": 1e400})");
  std::vector<std::string> keys;
  for (const auto& [k, e] : v.items()) {
    keys.push_back(k);
  }
  // A repeated key keeps its first place and its last value.
  EXPECT_EQ(keys,
            (std::vector<std::string>{"z", "a", "m", "big", "neg", "e", "nan", "inf", "huge"}));
  EXPECT_TRUE(v["z"].is_array());
  EXPECT_TRUE(v["a"].is_number_float());
  EXPECT_TRUE(v["m"].is_number_integer());
  EXPECT_EQ(v["big"].get<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(v["neg"].get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
  EXPECT_TRUE(v["e"].is_number_float());
  EXPECT_TRUE(std::isnan(v["nan"].get<double>()));
  EXPECT_EQ(v["inf"].get<double>(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(v["huge"].get<double>(), std::numeric_limits<double>::infinity());

  EXPECT_EQ(av::dump_json(v, -1),
            R"({"z": [true, null, "x"], "a": 5.0, "m": 0, "big": 18446744073709551615, )"
            R"("neg": -9223372036854775808, "e": 100.0, "nan": NaN, "inf": -Infinity, )"
            R"("huge": Infinity})");
}

TEST(Json, WritesLikePythonWithIndent) {
  Value v = av::parse_json(R"({"b": [1, 2.5, "x"], "a": {}, "l": [], "s": "é\n\"\u0001"})");
  EXPECT_EQ(av::dump_json(v, 2),
            "{\n  \"b\": [\n    1,\n    2.5,\n    \"x\"\n  ],\n  \"a\": {},\n  \"l\": [],\n"
            "  \"s\": \"é\\n\\\"\\u0001\"\n}");
  EXPECT_EQ(av::dump_json(Value::array({Value::array({1})}), 0), "[\n[\n1\n]\n]");
  EXPECT_EQ(av::float_repr(5.0), "5.0");
  EXPECT_EQ(av::float_repr(1e-5), "1e-05");
  EXPECT_EQ(av::float_repr(1e16), "1e+16");
  // What was written reads back the same, NaN and infinities included.
  Value w = {{"nan", std::nan("")}, {"x", -45.0}, {"t", 1e-7}, {"inf", INFINITY}};
  const Value back = av::parse_json(av::dump_json(w, 4));
  EXPECT_TRUE(std::isnan(back["nan"].get<double>()));
  EXPECT_EQ(av::dump_json(back, 4), av::dump_json(w, 4));
}

TEST(Json, RefusesBadTextWithPythonMessages) {
  auto message = [](std::string_view text) -> std::string {
    try {
      av::parse_json(text);
    } catch (const arvcore::ValueError& e) {
      return e.what();
    }
    return "parsed";
  };
  EXPECT_EQ(message(""), "Expecting value: line 1 column 1 (char 0)");
  EXPECT_EQ(message("{\"a\": 1,\n \"b\" 2}"), "Expecting ':' delimiter: line 2 column 6 (char 14)");
  EXPECT_EQ(message("[1, 2] x"), "Extra data: line 1 column 8 (char 7)");
  EXPECT_EQ(message("\"é\x01\""), "Invalid control character at: line 1 column 3 (char 2)");
  EXPECT_EQ(message("\xEF\xBB\xBF{}"),
            "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)");
  // Texts Python reads but whose values cannot be held here are refused, not altered.
  EXPECT_EQ(message("[\"\\ud800\"]"),
            "Unpaired surrogate in \\uXXXX escape: line 1 column 4 (char 3)");
  EXPECT_EQ(message("[1, 18446744073709551616]"),
            "Integer out of the 64-bit range: line 1 column 5 (char 4)");
  EXPECT_THROW(av::parse_json("[\"\xFF\"]"), arvcore::UnicodeError);
  EXPECT_THROW(av::parse_json("{\"\xC3\"}"), arvcore::UnicodeError);
}

TEST(Json, DeepNestingIsRefusedNotFatal) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_THROW(av::parse_json(deep), arvcore::ValueError);
  const std::string ok = std::string(500, '[') + std::string(500, ']');
  EXPECT_NO_THROW(av::parse_json(ok));

  Value v = Value::array();
  Value* inner = &v;
  for (int i = 0; i < 100000; ++i) {
    inner->push_back(Value::array());
    inner = &(*inner)[0];
  }
  EXPECT_THROW(av::dump_json(v, 2), arvcore::ValueError);
  EXPECT_THROW(av::repr(v), arvcore::ValueError);
}

TEST(Json, FilesAreReplacedWholeOrNotAtAll) {
  TempDir dir;
  const fs::path file = dir.path() / "table.json";
  const Value v = {{"SN", "D2230"}, {"FREQ", 28.0}, {"TX", Value::object()}};
  av::write_json_file(file, v, 2);
  EXPECT_EQ(read_all(file), "{\n  \"SN\": \"D2230\",\n  \"FREQ\": 28.0,\n  \"TX\": {}\n}");
  EXPECT_EQ(av::read_json_file(file), v);

  // A value that cannot be written leaves the old file as it was, and no temporary file.
  Value deep = Value::array();
  Value* inner = &deep;
  for (int i = 0; i < av::kMaxNestingDepth + 5; ++i) {
    inner->push_back(Value::array());
    inner = &(*inner)[0];
  }
  EXPECT_THROW(av::write_json_file(file, deep, 2), arvcore::ValueError);
  EXPECT_EQ(av::read_json_file(file), v);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  try {
    av::read_json_file(dir.path() / "missing.json");
    FAIL() << "no error";
  } catch (const arvcore::OSError& e) {
    EXPECT_EQ(std::string(e.what()), "[Errno 2] No such file or directory: '" +
                                         (dir.path() / "missing.json").string() + "'");
  }
  EXPECT_THROW(av::read_json_file(dir.path()), arvcore::OSError);
  EXPECT_THROW(av::write_json_file(dir.path() / "no" / "x.json", v, 2), arvcore::OSError);

  // A string with a stray byte is not written: it could not be read back.
  EXPECT_THROW(av::write_json_file(file, Value({{"k", "bad\xFF"}}), 2), arvcore::UnicodeError);
  EXPECT_EQ(av::read_json_file(file), v);

  std::ofstream(dir.path() / "bad.json", std::ios::binary) << "{\"a\": \xFF}";
  EXPECT_THROW(av::read_json_file(dir.path() / "bad.json"), arvcore::UnicodeError);
  std::ofstream(dir.path() / "nan.json", std::ios::binary) << "[NaN, 1]";
  EXPECT_EQ(av::read_json_file(dir.path() / "nan.json")[1].get<int>(), 1);
}

}  // namespace
