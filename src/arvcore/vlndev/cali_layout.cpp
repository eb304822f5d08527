#include "arvcore/vlndev/cali_layout.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "arvcore/base/errors.hpp"
#include "arvcore/value/json.hpp"
#include "arvcore/vlndev/detail/cali_data.hpp"

namespace arvcore::vlndev {
namespace {

// The number after `prefix` in a key such as "BOARD_3", or 0 when the key is not one.
std::int64_t number_after(std::string_view key, std::string_view prefix) {
  if (!key.starts_with(prefix)) {
    return 0;
  }
  key.remove_prefix(prefix.size());
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), n);
  return ec == std::errc() && end == key.data() + key.size() && n > 0 ? n : 0;
}

// The channel number of a channel key "2_35_45".
std::int64_t channel_of(std::string_view key) {
  return number_after(key.substr(0, key.find('_')), "");
}

void widen_by_mode(const Value& mode, std::int64_t board, CaliLayout& out, bool& any) {
  if (!mode.is_object()) {
    return;
  }
  for (const auto& [key, steps] : mode.items()) {
    const std::int64_t chip = number_after(key, "DATA_CHIP_");
    if (chip == 0 || !steps.is_object()) {
      continue;
    }
    for (const auto& [step, entries] : steps.items()) {
      if (!entries.is_object()) {
        continue;
      }
      for (const auto& [channel_key, entry] : entries.items()) {
        if (const std::int64_t channel = channel_of(channel_key); channel > 0) {
          out.boards = std::max(out.boards, board);
          out.ics = std::max(out.ics, chip);
          out.channels = std::max(out.channels, channel);
          any = true;
        }
      }
    }
  }
}

void widen_by_tree(const Value& table, CaliLayout& out, bool& any) {
  if (!table.is_object()) {
    return;
  }
  for (const auto& [section, modes] : table.items()) {
    const std::int64_t board = number_after(section, "BOARD_");
    if (board == 0 || !modes.is_object()) {
      continue;
    }
    for (const auto& [name, mode] : modes.items()) {
      widen_by_mode(mode, board, out, any);
    }
  }
}

// The entries kept apart from the tree: the channel of each distinct key is read once.
void widen_by_steps(const detail::CaliData& data, CaliLayout& out, bool& any) {
  std::vector<std::int64_t> channels(data.key_count(), -1);
  for (const auto& step : data.steps()) {
    const std::int64_t board = number_after(step.board, "BOARD_");
    const std::int64_t chip = number_after(step.chip, "DATA_CHIP_");
    if (board == 0 || chip == 0) {
      continue;
    }
    std::int64_t most = 0;
    for (std::size_t i = 0; i < step.size(); ++i) {
      const std::uint32_t key = step.key_at(i);
      if (channels[key] < 0) {
        channels[key] = channel_of(data.key_text(key));
      }
      most = std::max(most, channels[key]);
    }
    if (most > 0) {
      out.boards = std::max(out.boards, board);
      out.ics = std::max(out.ics, chip);
      out.channels = std::max(out.channels, most);
      any = true;
    }
  }
}

}  // namespace

std::string CaliLayout::text() const {
  return fmt::format("{},{},{}", boards, ics, channels);
}

Value CaliLayout::value() const {
  return Value::array({boards, ics, channels});
}

std::optional<CaliLayout> table_layout(const Value& table) {
  return table_layout(table, nullptr);
}

std::optional<CaliLayout> table_layout(const Value& header, const detail::CaliData* data) {
  CaliLayout out;
  bool any = false;
  widen_by_tree(header, out, any);
  if (data != nullptr) {
    widen_by_steps(*data, out, any);
  }
  if (!any) {
    return std::nullopt;
  }
  return out;
}

CaliLayout layout_of(const Value& layout) {
  const auto positive = [&](std::size_t i) {
    const Value& n = layout[i];
    if (!n.is_number_integer() || n.get<std::int64_t>() < 1) {
      throw ValueError(fmt::format("a layout must be three positive integers, not {}",
                                   value::dump_json(layout, -1)));
    }
    return n.get<std::int64_t>();
  };
  if (!layout.is_array() || layout.size() != 3) {
    throw ValueError("a layout must be three positive integers [boards, ICs, channels]");
  }
  const CaliLayout out{positive(0), positive(1), positive(2)};
  // Each number is bounded first, so that the product cannot overflow.
  if (std::max({out.boards, out.ics, out.channels}) > kMostLayoutNumber ||
      out.boards * out.ics * out.channels > kMostLayoutChannels) {
    throw ValueError(fmt::format(
        "the layout {} is beyond any device: at most {} boards, {} ICs per board and {} "
        "channels per IC, and at most {} channels in all (boards x ICs x channels)",
        out.text(), kMostLayoutNumber, kMostLayoutNumber, kMostLayoutNumber, kMostLayoutChannels));
  }
  return out;
}

}  // namespace arvcore::vlndev
