// CSV reader behaviour that random differential inputs do not reach: streaming over large
// input, errors part-way, failing streams.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/csv.hpp"
#include "arvcore/value/detail/textfile.hpp"

namespace {

namespace av = arvcore::value;

// Serves a text produced on demand and counts what has been taken.
class GeneratedBuf : public std::streambuf {
 public:
  GeneratedBuf(std::size_t rows, std::string tail = {}) : rows_(rows), tail_(std::move(tail)) {}
  std::size_t served() const { return served_; }

 protected:
  int_type underflow() override {
    if (next_ < rows_) {
      // Quoted cells with line breaks and doubled quotes cross chunk boundaries often.
      line_ = "DATA,TX,," + std::to_string(next_) + ",\"q\"\"\r\nz\",\xC3\xA9\xE2\x82\xAC\r\n";
      ++next_;
    } else if (!tail_.empty()) {
      line_ = std::move(tail_);
      tail_.clear();
    } else {
      return traits_type::eof();
    }
    served_ += line_.size();
    setg(line_.data(), line_.data(), line_.data() + line_.size());
    return traits_type::to_int_type(line_[0]);
  }

 private:
  std::size_t rows_;
  std::string tail_;
  std::size_t next_ = 0;
  std::size_t served_ = 0;
  std::string line_;
};

TEST(Csv, StreamsLargeInputInChunks) {
  constexpr std::size_t kRows = 200000;
  GeneratedBuf buf(kRows);
  std::istream in(&buf);
  av::CsvReader reader(in, false, 4096);
  av::CsvRow row;
  std::size_t n = 0;
  ASSERT_TRUE(reader.next(row));
  // Only about one chunk has been taken to give the first row.
  EXPECT_LT(buf.served(), 3 * 4096u);
  do {
    ASSERT_EQ(row.size(), 6u) << "row " << n;
    ASSERT_EQ(row[3], std::to_string(n));
    ASSERT_EQ(row[4], "q\"\nz");
    ASSERT_EQ(row[5], "\xC3\xA9\xE2\x82\xAC");
    ++n;
  } while (reader.next(row));
  EXPECT_EQ(n, kRows);
  EXPECT_FALSE(reader.next(row));
}

TEST(Csv, BadBytesFailWhereTheyAreReached) {
  GeneratedBuf buf(1000, "ok,\xFF\n");
  std::istream in(&buf);
  av::CsvReader reader(in, false, 512);
  av::CsvRow row;
  std::size_t n = 0;
  try {
    while (reader.next(row)) {
      ++n;
    }
    FAIL() << "no error";
  } catch (const arvcore::UnicodeError& e) {
    EXPECT_NE(std::string(e.what()).find("can't decode byte 0xff"), std::string::npos);
  }
  EXPECT_GT(n, 900u);

  std::istringstream cut("a,\xE2\x82");
  av::CsvReader reader2(cut);
  EXPECT_THROW(reader2.next(row), arvcore::UnicodeError);
}

TEST(Csv, LineEndsNulsAndOpenQuotes) {
  auto rows = [](const std::string& text, bool strip) {
    std::istringstream in(text);
    av::CsvReader reader(in, strip);
    av::CsvRow row;
    std::vector<std::vector<std::string>> out;
    while (reader.next(row)) {
      out.push_back(row.to_vector());
    }
    return out;
  };
  using Rows = std::vector<std::vector<std::string>>;
  EXPECT_EQ(rows("a,b\r\n\r\nc,\r\"x\r\ny\"", false), (Rows{{"a", "b"}, {}, {"c", ""}, {"x\ny"}}));
  EXPECT_EQ(rows(std::string("V\0ER,1\0\n\0", 9), true), (Rows{{"VER", "1"}, {}}));
  EXPECT_EQ(rows(std::string("a\0b\n", 4), false), (Rows{{std::string("a\0b", 3)}}));
  EXPECT_EQ(rows("a,\"open\nquote", false), (Rows{{"a", "open\nquote"}}));
}

class FailingBuf : public std::streambuf {
 protected:
  int_type underflow() override { throw std::runtime_error("device gone"); }
};

TEST(Csv, StreamFailuresReachTheCaller) {
  FailingBuf buf;
  std::istream in(&buf);
  av::CsvReader reader(in);
  av::CsvRow row;
  EXPECT_THROW(reader.next(row), std::runtime_error);

  // A stream set to throw at end of input still reads to its end.
  std::istringstream text("a,b\nc");
  text.exceptions(std::ios::failbit | std::ios::eofbit);
  av::CsvReader reader2(text);
  ASSERT_TRUE(reader2.next(row));
  ASSERT_TRUE(reader2.next(row));
  EXPECT_EQ(row[0], "c");
  EXPECT_FALSE(reader2.next(row));
}

// A temporary directory of the test's own.
class CsvFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("arvcore_csv_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return dir_ / name;
  }
  std::filesystem::path dir_;
};

// Every row of a file read ahead in chunks, read where the chunks lie, equals the row read
// through a stream of the same text. Chunk sizes cut lines, quoted cells, line ends and
// multi-byte characters everywhere.
TEST_F(CsvFile, FileReadAheadGivesTheRowsOfItsStream) {
  auto table = [](int rows) {
    std::string text;
    for (int i = 0; i < rows; ++i) {
      text += "DATA,TX," + std::to_string(i) + ",\"q,\"\"" + std::to_string(i % 7) + "\"\r\n,,x" +
              std::string(static_cast<std::size_t>(i % 37), 'y') + (i % 3 == 0 ? "\r" : "\n") +
              (i % 5 == 0 ? "\xC3\xA9,\xE2\x82\xAC\xF0\x9F\x98\x80\n" : "");
    }
    return text;
  };
  // Tiny chunks on a small table, the usual ones on a table of many chunks.
  for (const auto& [chunk, rows] : std::vector<std::pair<std::size_t, int>>{
           {1, 800}, {2, 800}, {3, 800}, {7, 3000}, {4096, 20000}, {512 << 10, 60000}}) {
    SCOPED_TRACE(chunk);
    const std::string text = table(rows);
    av::FileReadAhead file(write("table.csv", text), chunk);
    av::CsvReader ahead(file, true);
    std::istringstream stream(text);
    av::CsvReader streamed(stream, true);
    av::CsvRow a;
    av::CsvRow b;
    int read = 0;
    while (streamed.next(b)) {
      ASSERT_TRUE(ahead.next(a)) << "row " << read;
      ASSERT_EQ(a.to_vector(), b.to_vector()) << "row " << read;
      ++read;
    }
    EXPECT_FALSE(ahead.next(a));
    EXPECT_GT(read, rows);
  }
}

TEST_F(CsvFile, FileReadAheadOfEveryKindOfFile) {
  auto whole = [](av::FileReadAhead&& file) {
    std::string out;
    for (std::string_view chunk; !(chunk = file.next().bytes).empty();) {
      out += chunk;
    }
    return out;
  };
  EXPECT_EQ(whole(av::FileReadAhead(write("empty.csv", ""))), "");
  EXPECT_EQ(whole(av::FileReadAhead(write("small.csv", "a,b\n"), 3)), "a,b\n");
  // Files that report no size are read whole all the same.
  EXPECT_NE(whole(av::FileReadAhead("/proc/self/status", 16)).find("Name:"), std::string::npos);
  EXPECT_THROW(av::FileReadAhead(dir_ / "missing.csv"), arvcore::OSError);
  EXPECT_THROW(av::FileReadAhead{dir_}, arvcore::OSError);
  // A reader that stops early leaves the helper nothing to wait for.
  {
    av::FileReadAhead file(write("long.csv", std::string(1 << 20, 'x')), 1024);
    EXPECT_EQ(file.next().bytes.size(), 1024u);
  }
  // Bytes that are not UTF-8 fail when they are reached: inside a chunk, at its end, or in
  // the chunks a helper thread read and checked ahead.
  const std::string good_rows = [] {
    std::string rows;
    for (int i = 0; i < 3000; ++i) {
      rows += "row," + std::to_string(i) + ",\xC3\xA9\n";
    }
    return rows;
  }();
  for (const std::string& bad : {std::string("bad,\xE2\x82"), std::string("bad,\xFF,x\nmore\n")}) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{4096}}) {
      av::FileReadAhead file(write("bad.csv", "ok,1\n" + good_rows + bad), chunk);
      av::CsvReader reader(file);
      av::CsvRow row;
      ASSERT_TRUE(reader.next(row));
      EXPECT_EQ(row[0], "ok");
      std::size_t rows = 0;
      try {
        while (reader.next(row)) {
          ++rows;
        }
        ADD_FAILURE() << "no error, chunk " << chunk;
      } catch (const arvcore::UnicodeError&) {
        // Bytes are checked a window at a time, as Python decodes them a chunk at a time:
        // the rows of the bad bytes' own window do not come out.
        EXPECT_LE(rows, 3000u) << chunk;
        EXPECT_GT(rows, 2500u) << chunk;
      }
    }
  }
}

TEST(Csv, SkipsALeadingByteOrderMarkAndCountsLines) {
  // The mark only at the very start; the row starting lines include a quoted line break.
  const std::string text = "\xEF\xBB\xBFVER,3\r\n\nA,\"x\ny\"\nB,\xEF\xBB\xBF\n";
  for (std::size_t chunk : {1, 2, 3, 4, 1000}) {
    SCOPED_TRACE(chunk);
    std::istringstream in(text);
    av::CsvReader stream(in, false, chunk);
    av::CsvReader view(std::string_view(text), false, chunk);
    for (av::CsvReader* reader : {&stream, &view}) {
      std::vector<std::pair<std::size_t, std::vector<std::string>>> rows;
      av::CsvRow row;
      for (std::size_t line = reader->lines_read() + 1; reader->next(row);
           line = reader->lines_read() + 1) {
        rows.emplace_back(line, row.to_vector());
      }
      const std::vector<std::pair<std::size_t, std::vector<std::string>>> want = {
          {1, {"VER", "3"}}, {2, {}}, {3, {"A", "x\ny"}}, {5, {"B", "\xEF\xBB\xBF"}}};
      EXPECT_EQ(rows, want);
    }
  }
  // A written row whose first cell opens with the mark keeps it when it starts a file.
  const std::vector<std::string> marked = {"\xEF\xBB\xBFK", "x"};
  const std::string line = av::csv_format_row(marked);
  av::CsvReader reader(std::string_view(line), false);
  av::CsvRow row;
  ASSERT_TRUE(reader.next(row));
  EXPECT_EQ(row.to_vector(), marked);
}

TEST(Csv, PeekedLinesReadAsNextReadsThem) {
  // Every kind of line, many of them, so that lines meet chunk ends in every way.
  std::string line_of_30;
  for (int i = 0; i < 30; ++i) {
    line_of_30 += std::to_string(i) + (i < 29 ? "," : "\r\n");
  }
  const std::vector<std::string> kinds = {
      "DATA,TX,BOARD,1,CHIP,1,CH,3,G,IDX,-5.0,PH,40,COM,1,REG,49,44,DIFF,0.1951,6.118\n",
      "a,b\r\n",
      "\n",
      "\r\n",
      "x,\"q,u\"\"o\nte\",y\n",
      std::string("n\0ul,1\n", 7),
      "cr,only\r",
      ",,\n",
      line_of_30,
      std::string(200, 'w') + ",long\n",
      "a\"b,c\n"};
  std::string text = "\xEF\xBB\xBFVER,3\n";
  for (int i = 0; i < 300; ++i) {
    text += kinds[static_cast<std::size_t>(i * 7 % 11)];
  }
  for (std::size_t chunk : {7, 64, 65, 97, 130, 1000, 100000}) {
    SCOPED_TRACE(chunk);
    av::CsvReader peeking(std::string_view(text), true, chunk);
    av::CsvReader plain(std::string_view(text), true, chunk);
    av::CsvRow row;
    av::CsvRow want;
    av::CsvCells cells;
    std::size_t peeked = 0;
    for (;;) {
      const bool more = plain.next(want);
      if (peeking.peek_plain(cells)) {
        ASSERT_TRUE(more);
        ASSERT_EQ(cells.size(), std::min(want.size(), av::CsvCells::kMax));
        for (std::size_t i = 0; i < cells.size(); ++i) {
          ASSERT_EQ(cells[i], want[i]);
        }
        peeking.take(cells);
        ++peeked;
      } else {
        ASSERT_EQ(peeking.next(row), more);
        ASSERT_EQ(row.to_vector(), want.to_vector());
      }
      ASSERT_EQ(peeking.lines_read(), plain.lines_read());
      ASSERT_EQ(peeking.offset(), plain.offset());
      if (!more) {
        break;
      }
    }
    // Only lines that lie whole, with a block's room after them, within a chunk are peeked.
    if (chunk <= 64) {
      EXPECT_EQ(peeked, 0u);
    } else if (chunk >= 1000) {
      EXPECT_GT(peeked, 120u);  // of about 160 plain lines
    }
  }
}

TEST(Csv, FormatsRowsLikePythonWriter) {
  EXPECT_EQ(av::csv_format_row({}), "\r\n");
  EXPECT_EQ(av::csv_format_row({""}), "\"\"\r\n");
  EXPECT_EQ(av::csv_format_row({"", ""}), ",\r\n");
  EXPECT_EQ(av::csv_format_row({"a", "b,c", "q\"", "l\n"}), "a,\"b,c\",\"q\"\"\",\"l\n\"\r\n");
}

}  // namespace
