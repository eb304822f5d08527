// The text conversions compared with the Python host on thousands of generated inputs.
// Each batch goes to Python in one file and one interpreter run.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/value/pynum.hpp"

namespace {

using arvcore::Value;
namespace fs = std::filesystem;
namespace av = arvcore::value;

// Cases and answers travel as "<length>\n<bytes>" records.
void write_records(const fs::path& path, const std::vector<std::string>& records) {
  std::ofstream out(path, std::ios::binary);
  for (const auto& r : records) {
    out << r.size() << '\n' << r;
  }
}

std::vector<std::string> read_records(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> records;
  std::size_t len = 0;
  while (in >> len) {
    in.get();
    std::string r(len, '\0');
    in.read(r.data(), static_cast<std::streamsize>(len));
    records.push_back(std::move(r));
  }
  return records;
}

// Python side: `handle(case: bytes) -> str` is defined by each test's snippet.
constexpr const char* kHarness = R"PY(
import sys, io, csv, json, struct, math

def read_records(path):
    data = open(path, 'rb').read()
    out, i = [], 0
    while i < len(data):
        j = data.index(b'\n', i)
        n = int(data[i:j])
        out.append(data[j + 1:j + 1 + n])
        i = j + 1 + n
    return out

def err(e):
    return 'ERR ' + type(e).__name__ + ': ' + str(e)

%s

with open(sys.argv[2], 'wb') as f:
    for case in read_records(sys.argv[1]):
        try:
            r = handle(case)
        except Exception as e:
            r = err(e)
        b = r.encode('utf-8', 'surrogatepass')
        f.write(str(len(b)).encode() + b'\n' + b)
)PY";

// Runs `snippet` over `cases` in one Python process and returns its answers.
std::vector<std::string> run_python(const std::string& snippet,
                                    const std::vector<std::string>& cases) {
  const fs::path dir = fs::temp_directory_path() / ("arvcore_diff_" + std::to_string(::getpid()) +
                                                    "_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const fs::path script = dir / "run.py";
  {
    std::ofstream out(script);
    std::vector<char> text(std::strlen(kHarness) + snippet.size() + 1);
    std::snprintf(text.data(), text.size(), kHarness, snippet.c_str());
    out << text.data();
  }
  write_records(dir / "in", cases);
  const std::string cmd = std::string(ARVCORE_TEST_PYTHON) + " " + script.string() + " " +
                          (dir / "in").string() + " " + (dir / "out").string();
  const int rc = std::system(cmd.c_str());
  std::vector<std::string> answers = read_records(dir / "out");
  fs::remove_all(dir);
  EXPECT_EQ(rc, 0) << cmd;
  EXPECT_EQ(answers.size(), cases.size());
  answers.resize(cases.size());
  return answers;
}

std::string show(const std::string& s) {
  return av::str_repr(s);
}

std::string pick(std::mt19937& rng, const std::vector<std::string>& from) {
  return from[rng() % from.size()];
}

// ---------------------------------------------------------------------------------------
// CSV reader

const std::string kNul(1, '\0');

std::string random_csv(std::mt19937& rng) {
  static const std::vector<std::string> pieces = {
      ",", ",", ",", "\"", "\"", "\r", "\n", "\r\n", kNul, "a", "b", "xy z", " ", "-1.5", "\t",
      "\"\"", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\r\r", "\n\n", "\"a,b\"", "x\"y",
      // Long unquoted runs take the reader's fast path.
      "DATA,TX,,1,,2,,3,,,-1.5,,45", "0123456789abcdef0123", ",,,,,,,,,,,,,,,,,,",
      "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"};
  std::string out;
  const std::size_t n = rng() % 24;
  for (std::size_t i = 0; i < n; ++i) {
    out += pick(rng, pieces);
  }
  // A few inputs carry bytes that are not UTF-8, or a sequence cut short.
  if (rng() % 25 == 0) {
    const std::vector<std::string> bad = {"\xFF", "\xC3", "\xE2\x82", "\xED\xA0\x80", "\xC0\xAF"};
    out.insert(out.empty() ? 0 : rng() % out.size(), pick(rng, bad));
  }
  return out;
}

TEST(Differential, CsvReaderMatchesPythonCsvModule) {
  std::mt19937 rng(20240601);
  std::vector<std::string> cases;
  for (int i = 0; i < 4000; ++i) {
    cases.push_back((i % 2 == 0 ? "0" : "1") + random_csv(rng));
  }
  const auto answers = run_python(R"PY(
def handle(case):
    f = io.TextIOWrapper(io.BytesIO(case[1:]), encoding='utf-8', newline=None)
    src = (line.replace('\0', '') for line in f) if case[:1] == b'1' else f
    return json.dumps(list(csv.reader(src)), ensure_ascii=False)
)PY",
                                  cases);
  const std::size_t chunks[] = {1, 2, 3, 5, 16, 1 << 16, 1 << 16, 1 << 16};
  int failures = 0;
  for (std::size_t i = 0; i < cases.size() && failures < 10; ++i) {
    const std::size_t chunk = chunks[i % std::size(chunks)];
    const std::string text = cases[i].substr(1);
    const bool strip = cases[i][0] == '1';
    auto read_all = [](av::CsvReader&& reader) -> std::string {
      try {
        Value rows = Value::array();
        av::CsvRow row;
        while (reader.next(row)) {
          Value cells = Value::array();
          for (std::size_t c = 0; c < row.size(); ++c) {
            cells.push_back(std::string(row[c]));
          }
          rows.push_back(std::move(cells));
        }
        return av::dump_json(rows, -1);
      } catch (const arvcore::UnicodeError&) {
        return "ERR UnicodeDecodeError";
      }
    };
    // Through a stream's buffer, and in place.
    std::istringstream in(text);
    const std::string streamed = read_all(av::CsvReader(in, strip, chunk));
    const std::string in_place = read_all(av::CsvReader(std::string_view(text), strip, chunk));
    // Python names the failing position relative to its own decoding chunk: compare kinds.
    const std::string& theirs = answers[i].rfind("ERR UnicodeDecodeError", 0) == 0
                                    ? std::string("ERR UnicodeDecodeError")
                                    : answers[i];
    if (streamed != theirs || in_place != theirs) {
      ++failures;
      ADD_FAILURE() << "input " << show(text) << " strip_nul=" << cases[i][0] << " chunk=" << chunk
                    << "\n streamed: " << streamed << "\n in place: " << in_place
                    << "\n python:   " << theirs;
    }
  }
}

TEST(Differential, CsvWriterMatchesPythonCsvWriter) {
  std::mt19937 rng(3);
  static const std::vector<std::string> pieces = {"a",   ",",        "\"", "\r", "\n", " ",
                                                  "x y", "\xC3\xA9", "'",  "\t", kNul, "1.5"};
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> cases;
  for (int i = 0; i < 1000; ++i) {
    std::vector<std::string> row(rng() % 4 + 1);
    for (auto& cell : row) {
      const std::size_t n = rng() % 4;
      for (std::size_t k = 0; k < n; ++k) {
        cell += pick(rng, pieces);
      }
    }
    std::string joined;
    for (std::size_t c = 0; c < row.size(); ++c) {
      joined += (c == 0 ? "" : "\x01") + row[c];
    }
    rows.push_back(row);
    cases.push_back(joined);
  }
  const auto answers = run_python(R"PY(
def handle(case):
    s = io.StringIO(newline='')
    csv.writer(s).writerow(case.decode('utf-8').split('\x01'))
    return s.getvalue()
)PY",
                                  cases);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(av::csv_format_row(rows[i]), answers[i]) << show(cases[i]);
  }
}

// ---------------------------------------------------------------------------------------
// JSON reading and writing

class JsonTextGenerator {
 public:
  explicit JsonTextGenerator(std::mt19937& rng) : rng_(rng) {}

  std::string document() {
    std::string out = ws();
    value(out, 0);
    out += ws();
    return out;
  }

 private:
  std::string ws() {
    static const std::vector<std::string> spaces = {"", "", "", " ", "\n", "\t", "\r\n", "  "};
    return pick(rng_, spaces);
  }

  std::string number() {
    static const std::vector<std::string> fixed = {"0",
                                                   "-0",
                                                   "-0.0",
                                                   "5.0",
                                                   "-45.0",
                                                   "0.1",
                                                   "1e-05",
                                                   "1E+16",
                                                   "1e16",
                                                   "1.5e300",
                                                   "1e400",
                                                   "-1e400",
                                                   "5e-324",
                                                   "2.5e-320",
                                                   "1e-400",
                                                   "NaN",
                                                   "Infinity",
                                                   "-Infinity",
                                                   "123456789.0",
                                                   "0.000123",
                                                   "1.0E2",
                                                   "100",
                                                   "-7",
                                                   "3.14159",
                                                   "9223372036854775807",
                                                   "-9223372036854775808",
                                                   "18446744073709551615",
                                                   "9223372036854775808",
                                                   "12345678901234567.0",
                                                   "1e22",
                                                   "1e23"};
    switch (rng_() % 4) {
      case 0:
        return pick(rng_, fixed);
      case 1:
        return std::to_string(static_cast<std::int64_t>(rng_()) - (1LL << 31));
      case 2: {
        std::uniform_real_distribution<double> dist(-1e6, 1e6);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*g", static_cast<int>(rng_() % 17 + 1), dist(rng_));
        return buf;
      }
      default: {
        // Any double, written with enough digits to come back exactly.
        double d;
        const std::uint64_t bits = (static_cast<std::uint64_t>(rng_()) << 32) | rng_();
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) {
          d = 1.0;
        }
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        return buf;
      }
    }
  }

  std::string string() {
    static const std::vector<std::string> pieces = {"a",
                                                    "Z",
                                                    " ",
                                                    "key",
                                                    "\\\"",
                                                    "\\\\",
                                                    "\\/",
                                                    "\\n",
                                                    "\\t",
                                                    "\\r",
                                                    "\\b",
                                                    "\\f",
                                                    "\\u00e9",
                                                    "\\u20AC",
                                                    "\\u0000",
                                                    "\\u001f",
                                                    "\\ud83d\\ude00",
                                                    "\xC3\xA9",
                                                    "\xE2\x82\xAC",
                                                    "\xF0\x9F\x98\x80",
                                                    "\x7F",
                                                    "\xE2\x80\xA8",
                                                    "'",
                                                    "\\u0041"};
    std::string out = "\"";
    const std::size_t n = rng_() % 6;
    for (std::size_t i = 0; i < n; ++i) {
      out += pick(rng_, pieces);
    }
    return out + "\"";
  }

  void value(std::string& out, int depth) {
    const unsigned kind = rng_() % (depth < 4 ? 8 : 6);
    switch (kind) {
      case 0:
        out += pick(rng_, {"null", "true", "false"});
        return;
      case 1:
      case 2:
        out += number();
        return;
      case 3:
      case 4:
      case 5:
        out += string();
        return;
      case 6: {
        out += "[" + ws();
        const std::size_t n = rng_() % 5;
        for (std::size_t i = 0; i < n; ++i) {
          if (i != 0) {
            out += ws() + "," + ws();
          }
          value(out, depth + 1);
        }
        out += ws() + "]";
        return;
      }
      default: {
        out += "{" + ws();
        const std::size_t n = rng_() % 5;
        for (std::size_t i = 0; i < n; ++i) {
          if (i != 0) {
            out += ws() + "," + ws();
          }
          // Few distinct keys, so that repeats happen.
          out += pick(rng_, {"\"a\"", "\"b\"", "\"c\"", "\"\\u0061\""}) + ws() + ":" + ws();
          value(out, depth + 1);
        }
        out += ws() + "}";
        return;
      }
    }
  }

  std::mt19937& rng_;
};

// Damages a document so that the reader's error path and messages are exercised.
std::string damage(std::mt19937& rng, std::string text) {
  static const std::vector<std::string> inserts = {",", ":", "{", "}", "[", "]",  "\"",
                                                   "x", " ", "1", ".", "-", "\\", "\x01"};
  const std::size_t at = text.empty() ? 0 : rng() % text.size();
  switch (rng() % 3) {
    case 0:
      if (!text.empty()) {
        // Keep whole UTF-8 sequences: only ASCII bytes are removed.
        if (static_cast<unsigned char>(text[at]) < 0x80) {
          text.erase(at, 1);
        }
      }
      return text;
    case 1:
      text.insert(at, pick(rng, inserts));
      return text;
    default:
      while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0x80) == 0 &&
             text.size() > at) {
        text.pop_back();
      }
      return text;
  }
}

TEST(Differential, JsonReadAndWriteMatchPythonJsonModule) {
  std::mt19937 rng(99);
  JsonTextGenerator gen(rng);
  std::vector<std::string> cases;
  const char indents[] = {'9', '0', '1', '2', '4'};  // '9' is indent=None
  for (int i = 0; i < 2500; ++i) {
    std::string text = gen.document();
    if (i % 3 == 0) {
      text = damage(rng, text);
    }
    cases.push_back(indents[i % 5] + text);
  }
  cases.push_back("2\xEF\xBB\xBF{}");
  cases.push_back("2");
  cases.push_back("2[1,]");
  cases.push_back("2{\"a\":1,}");
  const auto answers = run_python(R"PY(
def unsupported(v):
    # Values this module cannot hold: lone surrogates and integers past 64 bits.
    if isinstance(v, bool):
        return False
    if isinstance(v, int):
        return not (-2**63 <= v < 2**64)
    if isinstance(v, str):
        return any('\ud800' <= c <= '\udfff' for c in v)
    if isinstance(v, (list, tuple)):
        return any(unsupported(x) for x in v)
    return False

def handle(case):
    ind = case[0] - 48
    try:
        v = json.loads(case[1:].decode('utf-8'))
    except json.JSONDecodeError as e:
        return 'ERR ' + str(e)
    # Every pair, also those a repeated key overwrites.
    if unsupported(json.loads(case[1:].decode('utf-8'), object_pairs_hook=list)):
        return 'SKIP'
    return json.dumps(v, indent=None if ind == 9 else ind, ensure_ascii=False)
)PY",
                                  cases);
  int failures = 0;
  int skipped = 0;
  for (std::size_t i = 0; i < cases.size() && failures < 10; ++i) {
    if (answers[i] == "SKIP") {
      ++skipped;
      continue;
    }
    const int indent = cases[i][0] == '9' ? -1 : cases[i][0] - '0';
    std::string ours;
    try {
      ours = av::dump_json(av::parse_json(cases[i].substr(1)), indent);
    } catch (const arvcore::UnicodeError& e) {
      ours = std::string("ERR UnicodeDecodeError: ") + e.what();
    } catch (const arvcore::ValueError& e) {
      ours = std::string("ERR ") + e.what();
    }
    if (ours != answers[i]) {
      ++failures;
      ADD_FAILURE() << "input " << show(cases[i].substr(1)) << " indent " << indent
                    << "\n ours:   " << show(ours) << "\n python: " << show(answers[i]);
    }
  }
  EXPECT_LT(skipped, 100);
}

// ---------------------------------------------------------------------------------------
// Numbers

TEST(Differential, FloatReprMatchesPythonRepr) {
  std::mt19937_64 rng(5);
  std::vector<double> values = {5.0,
                                -45.0,
                                0.1,
                                1e-05,
                                1e16,
                                1e15,
                                123456789012345678.0,
                                0.0001,
                                -0.0,
                                0.0,
                                1e22,
                                1e-7,
                                5e-324,
                                2.2250738585072014e-308,
                                1.7976931348623157e308,
                                9007199254740993.0,
                                0.3,
                                2.675};
  for (int i = 0; i < 3000; ++i) {
    const std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    values.push_back(d);
  }
  std::uniform_real_distribution<double> mag(-12, 20);
  for (int i = 0; i < 3000; ++i) {
    // Decimal-looking values: few significant digits at any scale.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", static_cast<int>(rng() % 6),
                  std::pow(10.0, mag(rng)) * ((rng() % 2) ? 1 : -1));
    values.push_back(std::strtod(buf, nullptr));
  }
  std::vector<std::string> cases;
  for (const double d : values) {
    cases.emplace_back(reinterpret_cast<const char*>(&d), sizeof d);
  }
  const auto answers =
      run_python("def handle(case):\n    return repr(struct.unpack('=d', case)[0])\n", cases);
  int failures = 0;
  for (std::size_t i = 0; i < values.size() && failures < 10; ++i) {
    if (av::float_repr(values[i]) != answers[i]) {
      ++failures;
      ADD_FAILURE() << "ours " << av::float_repr(values[i]) << " python " << answers[i];
    }
  }
}

TEST(Differential, StringReprMatchesPythonRepr) {
  std::mt19937 rng(17);
  // Code points from the ranges where printability changes most.
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges = {
      {0x00, 0x7F},       {0x80, 0x2FF},       {0x2000, 0x206F},   {0xD7F0, 0xD7FF},
      {0xE000, 0xE0FF},   {0xFDD0, 0xFFFF},    {0x10000, 0x1100F}, {0x1F000, 0x1FAFF},
      {0xE0000, 0xE01FF}, {0x10FF00, 0x10FFFF}};
  std::vector<std::string> cases;
  for (int i = 0; i < 3000; ++i) {
    std::string s;
    const std::size_t n = rng() % 6;
    for (std::size_t k = 0; k < n; ++k) {
      const auto& [lo, hi] = ranges[rng() % ranges.size()];
      av::append_utf8(lo + rng() % (hi - lo + 1), s);
    }
    if (rng() % 5 == 0) {
      s += (rng() % 2) ? "'" : "\"";
    }
    cases.push_back(s);
  }
  const auto answers =
      run_python("def handle(case):\n    return repr(case.decode('utf-8'))\n", cases);
  int failures = 0;
  for (std::size_t i = 0; i < cases.size() && failures < 10; ++i) {
    const std::string ours = av::repr(Value(cases[i]));
    if (ours != answers[i]) {
      ++failures;
      ADD_FAILURE() << "ours " << ours << " python " << answers[i];
    }
  }
  EXPECT_EQ(av::repr(Value::parse(R"({"a": [1, 2.0, "x", null, true], "b'": {}})")),
            R"({'a': [1, 2.0, 'x', None, True], "b'": {}})");
}

TEST(Differential, ParseIntAndFloatMatchPythonBuiltins) {
  std::mt19937 rng(11);
  static const std::vector<std::string> pieces = {
      "0",   "1",   "7",           "9",        "00", "_",        "+",        "-",
      ".",   "e",   "E",           " ",        "\t", "\n",       "\x0b",     "\x1c",
      "inf", "INF", "nan",         "Infinity", "x",  "\xD9\xA5", "\xC2\xA0", "\xE2\x80\x83",
      kNul,  "1e5", "\xEF\xBC\x91"};
  std::vector<std::string> texts = {"",
                                    " 42 ",
                                    "-0",
                                    "+7",
                                    "1_000",
                                    "1__0",
                                    "_1",
                                    "1_",
                                    "0x10",
                                    "1e3",
                                    "1.5",
                                    "-.5",
                                    ".",
                                    "5.",
                                    "1e",
                                    "1e+",
                                    "-nan",
                                    "+inf",
                                    "iNfInItY",
                                    "infinit",
                                    "1e999",
                                    "-1e999",
                                    "1e-999",
                                    "9223372036854775807",
                                    "-9223372036854775808",
                                    "9223372036854775808",
                                    "-9223372036854775809",
                                    "99999999999999999999",
                                    "0.1e-320",
                                    "\xD9\xA5\xD9\xA0",
                                    std::string(250, '9') + "x"};
  for (int i = 0; i < 3000; ++i) {
    std::string t;
    const std::size_t n = rng() % 7;
    for (std::size_t k = 0; k < n; ++k) {
      t += pick(rng, pieces);
    }
    texts.push_back(t);
  }
  for (int i = 0; i < 500; ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*g", static_cast<int>(rng() % 20 + 1),
                  std::ldexp(static_cast<double>(rng()), static_cast<int>(rng() % 200) - 100));
    texts.push_back(buf);
  }
  std::vector<std::string> cases;
  for (const auto& t : texts) {
    cases.push_back("i" + t);
    cases.push_back("f" + t);
  }
  const auto answers = run_python(R"PY(
def handle(case):
    s = case[1:].decode('utf-8')
    if case[:1] == b'i':
        v = int(s)
        return repr(v) if -2**63 <= v < 2**63 else 'RANGE'
    return repr(float(s))
)PY",
                                  cases);
  int failures = 0;
  for (std::size_t i = 0; i < cases.size() && failures < 10; ++i) {
    const std::string text = cases[i].substr(1);
    std::string ours;
    try {
      ours = cases[i][0] == 'i' ? std::to_string(av::parse_int(text))
                                : av::float_repr(av::parse_float(text));
    } catch (const arvcore::ValueError& e) {
      ours = std::string("ERR ValueError: ") + e.what();
    }
    const bool range = answers[i] == "RANGE";
    if (range ? ours.rfind("ERR ValueError: invalid literal", 0) != 0 : ours != answers[i]) {
      ++failures;
      ADD_FAILURE() << cases[i][0] << " " << show(text) << "\n ours:   " << ours
                    << "\n python: " << answers[i];
    }
  }
}

}  // namespace
