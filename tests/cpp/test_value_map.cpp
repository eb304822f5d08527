// IndexedMap on its own and as the object type of arvcore::Value.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "arvcore/value/detail/indexed_map.hpp"
#include "arvcore/value/value.hpp"

namespace {

using arvcore::Value;
using Map = arvcore::IndexedMap<std::string, int>;

std::vector<std::string> keys_of(const Map& m) {
  std::vector<std::string> out;
  for (const auto& [k, v] : m) {
    out.push_back(k);
  }
  return out;
}

std::vector<std::string> keys_of(const Value& v) {
  std::vector<std::string> out;
  for (const auto& item : v.items()) {
    out.push_back(item.key());
  }
  return out;
}

// Checks every key against a reference built independently.
void expect_same(const Map& m, const std::vector<std::pair<std::string, int>>& ref) {
  ASSERT_EQ(m.size(), ref.size());
  std::size_t i = 0;
  for (const auto& [k, v] : m) {
    EXPECT_EQ(k, ref[i].first) << "position " << i;
    EXPECT_EQ(v, ref[i].second) << "key " << k;
    ++i;
  }
  for (const auto& [k, v] : ref) {
    auto it = m.find(k);
    ASSERT_NE(it, m.end()) << k;
    EXPECT_EQ(it->second, v);
  }
}

TEST(IndexedMap, OrderOverwriteAndLookup) {
  // Crosses the size where the hash index takes over from scanning.
  for (int n : {3, 8, 9, 40}) {
    Map m;
    std::vector<std::pair<std::string, int>> ref;
    for (int i = n - 1; i >= 0; --i) {
      m["k" + std::to_string(i)] = i;
      ref.emplace_back("k" + std::to_string(i), i);
    }
    // Overwrites keep the first position; last write wins.
    m["k0"] = 100;
    ref.back().second = 100;
    m.insert_or_assign(std::string("k") + std::to_string(n - 1), -1);
    ref.front().second = -1;
    // emplace/insert never overwrite.
    EXPECT_FALSE(m.emplace("k0", 5).second);
    EXPECT_FALSE(m.insert({"k0", 6}).second);
    expect_same(m, ref);
    EXPECT_EQ(m.count("missing"), 0u);
    EXPECT_EQ(m.find(std::string_view("missing")), m.end());
    EXPECT_THROW(m.at("missing"), std::out_of_range);
    EXPECT_EQ(m.at(std::string_view("k0")), 100);
  }
}

TEST(IndexedMap, EraseKeepsOrderOfTheRest) {
  std::mt19937 rng(7);
  for (int n : {5, 12, 200}) {
    Map m;
    std::vector<std::pair<std::string, int>> ref;
    for (int i = 0; i < n; ++i) {
      m["key" + std::to_string(i * 7919 % 1000)] = i;
      ref.emplace_back("key" + std::to_string(i * 7919 % 1000), i);
    }
    // Erase by key, by iterator and by range, at random places, re-inserting some keys.
    while (ref.size() > 2) {
      const std::size_t at = rng() % ref.size();
      switch (rng() % 3) {
        case 0:
          EXPECT_EQ(m.erase(ref[at].first), 1u);
          ref.erase(ref.begin() + static_cast<long>(at));
          break;
        case 1:
          m.erase(m.begin() + static_cast<long>(at));
          ref.erase(ref.begin() + static_cast<long>(at));
          break;
        default: {
          const std::size_t len = std::min<std::size_t>(rng() % 4, ref.size() - at);
          auto next =
              m.erase(m.begin() + static_cast<long>(at), m.begin() + static_cast<long>(at + len));
          EXPECT_EQ(next - m.begin(), static_cast<long>(at));
          ref.erase(ref.begin() + static_cast<long>(at), ref.begin() + static_cast<long>(at + len));
        }
      }
      if (rng() % 4 == 0) {
        const std::string k = "new" + std::to_string(rng() % 50);
        if (m.insert({k, 1}).second) {
          ref.emplace_back(k, 1);
        }
      }
      expect_same(m, ref);
    }
    EXPECT_EQ(m.erase("absent"), 0u);
  }
}

TEST(IndexedMap, CopiesAreIndependent) {
  Map a;
  for (int i = 0; i < 20; ++i) {
    a["x" + std::to_string(i)] = i;
  }
  Map b = a;
  b["x3"] = -3;
  b.erase("x4");
  b["extra"] = 1;
  EXPECT_EQ(a.at("x3"), 3);
  EXPECT_EQ(a.count("x4"), 1u);
  EXPECT_EQ(a.count("extra"), 0u);
  EXPECT_EQ(a.size(), 20u);
  Map c = std::move(b);
  EXPECT_EQ(c.at("x3"), -3);
  a = c;
  EXPECT_EQ(a, c);
}

// Keys are hashed and compared a word at a time: a key of any length that differs from
// another in one byte, wherever it is, is another key.
TEST(IndexedMap, KeysDifferingInOneByteAreDistinct) {
  for (std::size_t len = 0; len <= 40; ++len) {
    const std::string base(len, 'k');
    Map m;
    m[base] = -1;
    for (std::size_t i = 0; i < len; ++i) {
      std::string other = base;
      other[i] = 'j';
      m[other] = static_cast<int>(i);
    }
    // Enough keys to leave the scanned form for the hashed one, and a prefix of each length.
    for (std::size_t i = 0; i < len; ++i) {
      m[base.substr(0, i)] = 1000 + static_cast<int>(i);
    }
    ASSERT_EQ(m.size(), 2 * len + 1) << len;
    EXPECT_EQ(m.at(base), -1) << len;
    for (std::size_t i = 0; i < len; ++i) {
      std::string other = base;
      other[i] = 'j';
      EXPECT_EQ(m.at(other), static_cast<int>(i)) << len << " " << i;
      EXPECT_EQ(m.at(base.substr(0, i)), 1000 + static_cast<int>(i)) << len << " " << i;
    }
    EXPECT_EQ(m.find(base + "k"), m.end()) << len;
  }
}

TEST(IndexedMap, MillionKeys) {
  constexpr int kN = 1'000'000;
  Map m;
  for (int i = 0; i < kN; ++i) {
    m[std::to_string(i)] = i;
  }
  ASSERT_EQ(m.size(), static_cast<std::size_t>(kN));
  for (int i = 0; i < kN; i += 997) {
    ASSERT_EQ(m.at(std::to_string(i)), i);
  }
  EXPECT_EQ(m.count("1000000"), 0u);
  int expect = 0;
  for (const auto& [k, v] : m) {
    ASSERT_EQ(v, expect++);
  }
  m.erase("0");
  EXPECT_EQ(m.begin()->first, "1");
  EXPECT_EQ(m.at("999999"), 999999);
}

TEST(IndexedMap, EqualityIgnoresOrderLikeDict) {
  Map a{{"a", 1}, {"b", 2}};
  Map b{{"b", 2}, {"a", 1}};
  Map c{{"a", 1}, {"b", 3}};
  Map d{{"a", 1}};
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a, d);
  // A repeated key in a literal keeps its first place and its last value.
  Map e{{"a", 1}, {"b", 2}, {"a", 3}};
  EXPECT_EQ(keys_of(e), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(e.at("a"), 3);
}

TEST(ValueObject, BuildsNestedMapsInOrder) {
  Value v;
  v["z"]["b"] = 1;
  v["z"]["a"] = 2.5;
  v["a"] = "text";
  v["m"] = Value::array({1, 2});
  v["z"]["b"] = 3;  // overwrite keeps place
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"z", "a", "m"}));
  EXPECT_EQ(keys_of(v["z"]), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(v["z"]["b"].get<int>(), 3);
  EXPECT_TRUE(v["z"]["a"].is_number_float());
  EXPECT_TRUE(v.contains("a"));
  EXPECT_TRUE(v.contains(std::string_view("m")));
  EXPECT_FALSE(v.contains("q"));
  EXPECT_EQ(v.at(std::string_view("a")).get<std::string>(), "text");
  EXPECT_THROW(v.at("q"), nlohmann::json::out_of_range);
  EXPECT_EQ(v.value("q", 7), 7);

  EXPECT_EQ(v.erase("a"), 1u);
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"z", "m"}));
  v.erase(v.begin());
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"m"}));

  Value lit = {{"y", 1}, {"x", {{"q", nullptr}}}};
  EXPECT_EQ(keys_of(lit), (std::vector<std::string>{"y", "x"}));
  EXPECT_TRUE(lit["x"]["q"].is_null());

  // Conversion from a standard map and back.
  std::map<std::string, int> sm{{"b", 2}, {"a", 1}};
  Value from_std = sm;
  EXPECT_EQ(from_std["a"].get<int>(), 1);
  EXPECT_EQ((from_std.get<std::map<std::string, int>>()), sm);

  Value target = {{"a", 1}};
  target.update({{"b", 2}, {"a", 3}});
  EXPECT_EQ(keys_of(target), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(target["a"].get<int>(), 3);
}

TEST(ValueObject, DeepCopyAndComparison) {
  Value a = {{"x", {{"y", {1, 2, 3}}}}, {"s", "t"}};
  Value b = a;
  b["x"]["y"][0] = 100;
  EXPECT_EQ(a["x"]["y"][0].get<int>(), 1);
  EXPECT_NE(a, b);
  b["x"]["y"][0] = 1;
  EXPECT_EQ(a, b);
  Value c = {{"s", "t"}, {"x", {{"y", {1, 2, 3}}}}};
  EXPECT_EQ(a, c);  // dict equality
  EXPECT_NE(a, Value({{"s", "t"}}));
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_FALSE(Value::object() < Value::object());
  Value moved = std::move(b);
  EXPECT_EQ(moved, a);

  std::size_t n = 0;
  for (auto& [key, val] : a.items()) {
    EXPECT_FALSE(key.empty());
    EXPECT_FALSE(val.is_null());
    ++n;
  }
  EXPECT_EQ(n, 2u);
}

// Lists of every kind of element copy exactly (the kind of each number included) and deeply.
TEST(ValueObject, ListCopiesKeepEveryElementAndKind) {
  Value list = Value::array(
      {nullptr, true, -7, 0.1, "text", Value::array({1, 2}), Value::object({{"k", 1}})});
  list.push_back(std::uint64_t{18446744073709551615ULL});
  list.push_back(-0.0);
  const Value copy = list;
  ASSERT_EQ(copy, list);
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(copy[i].type(), list[i].type()) << i;
  }
  EXPECT_EQ(copy[7].get<std::uint64_t>(), 18446744073709551615ULL);
  EXPECT_TRUE(std::signbit(copy[8].get<double>()));
  list[5].push_back(3);
  list[6]["k"] = 2;
  list[4] = "changed";
  EXPECT_EQ(copy[5], Value::array({1, 2}));
  EXPECT_EQ(copy[6]["k"], 1);
  EXPECT_EQ(copy[4], "text");
  EXPECT_EQ(Value(Value::array()), Value::array());
}

TEST(ValueObject, ManyChildrenStayReachableAfterGrowth) {
  Value v = Value::object();
  for (int i = 0; i < 5000; ++i) {
    v[std::to_string(i)]["inner"] = i;
  }
  for (int i = 0; i < 5000; i += 37) {
    ASSERT_EQ(v[std::to_string(i)]["inner"].get<int>(), i);
  }
  EXPECT_EQ(v.size(), 5000u);
}

}  // namespace
