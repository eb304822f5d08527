#include "arvcore/value/csv.hpp"

#include <iterator>

#include "arvcore/sdk/errors.hpp"
#include "arvcore/value/textfile.hpp"

namespace arvcore::value {

// Straightforward version: reads the whole input, then splits it.
struct CsvReader::Impl {
  std::string data;
  std::size_t pos = 0;
};

CsvReader::CsvReader(std::istream& in, bool strip_nul) : impl_(std::make_unique<Impl>()) {
  impl_->data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!is_valid_utf8(impl_->data)) {
    throw UnicodeError("'utf-8' codec can't decode the input");
  }
  if (strip_nul) {
    std::erase(impl_->data, '\0');
  }
}

CsvReader::~CsvReader() = default;

bool CsvReader::next(CsvRow& row) {
  row.clear();
  std::string& store = row.storage();
  store.clear();
  const std::string& d = impl_->data;
  std::size_t& i = impl_->pos;
  if (i >= d.size()) {
    return false;
  }
  // Field boundaries as offsets into `store`; views are made once the row is complete,
  // since `store` may reallocate while it grows.
  std::vector<std::pair<std::size_t, std::size_t>> bounds;
  std::size_t start = 0;
  auto save = [&] {
    bounds.emplace_back(start, store.size() - start);
    start = store.size();
  };
  auto eat_line_end = [&] {
    if (i < d.size() && d[i] == '\r') {
      ++i;
      if (i < d.size() && d[i] == '\n') {
        ++i;
      }
    } else if (i < d.size() && d[i] == '\n') {
      ++i;
    }
  };
  if (d[i] == '\n' || d[i] == '\r') {
    eat_line_end();
    return true;
  }
  enum { START_FIELD, IN_FIELD, IN_QUOTED, QUOTE_IN_QUOTED } state = START_FIELD;
  while (true) {
    if (i >= d.size()) {
      if (state != START_FIELD || !bounds.empty() || store.size() != start) {
        save();
      }
      break;
    }
    const char c = d[i];
    if (state == IN_QUOTED) {
      ++i;
      if (c == '"') {
        state = QUOTE_IN_QUOTED;
      } else if (c == '\r') {
        // A quoted line break reads as "\n", as from a text-mode file.
        store.push_back('\n');
        if (i < d.size() && d[i] == '\n') {
          ++i;
        }
      } else {
        store.push_back(c);
      }
      continue;
    }
    if (c == '\n' || c == '\r') {
      save();
      eat_line_end();
      break;
    }
    ++i;
    switch (state) {
      case START_FIELD:
        if (c == '"') {
          state = IN_QUOTED;
        } else if (c == ',') {
          save();
        } else {
          store.push_back(c);
          state = IN_FIELD;
        }
        break;
      case IN_FIELD:
        if (c == ',') {
          save();
          state = START_FIELD;
        } else {
          store.push_back(c);
        }
        break;
      case QUOTE_IN_QUOTED:
        if (c == '"') {
          store.push_back('"');
          state = IN_QUOTED;
        } else if (c == ',') {
          save();
          state = START_FIELD;
        } else {
          store.push_back(c);
          state = IN_FIELD;
        }
        break;
      case IN_QUOTED:
        break;
    }
  }
  for (const auto& [off, len] : bounds) {
    row.push(std::string_view(store).substr(off, len));
  }
  return true;
}

std::string csv_format_row(const std::vector<std::string>& cells) {
  std::string out;
  if (cells.size() == 1 && cells[0].empty()) {
    return "\"\"\r\n";
  }
  bool first = true;
  for (const auto& cell : cells) {
    if (!first) {
      out.push_back(',');
    }
    first = false;
    if (cell.find_first_of(",\"\r\n") == std::string::npos) {
      out += cell;
      continue;
    }
    out.push_back('"');
    for (char c : cell) {
      if (c == '"') {
        out.push_back('"');
      }
      out.push_back(c);
    }
    out.push_back('"');
  }
  out += "\r\n";
  return out;
}

}  // namespace arvcore::value
