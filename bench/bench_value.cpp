// Map insert and find at growing sizes, and building a large map of 4-number lists,
// against nlohmann's ordered_map; the value pool's fast path.

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "arvcore/value/detail/indexed_map.hpp"
#include "arvcore/value/value.hpp"

namespace {

using arvcore::Value;
using OrderedValue = nlohmann::ordered_json;

std::vector<std::string> make_keys(std::size_t n) {
  std::vector<std::string> keys;
  keys.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Shaped like channel keys: "<channel>_<gain x10>_<phase>".
    keys.push_back(std::to_string(i % 64 + 1) + "_" + std::to_string(i / 64 % 400) + "_" +
                   std::to_string(i / 25600));
  }
  return keys;
}

void BM_MapInsert(benchmark::State& state) {
  const auto keys = make_keys(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    arvcore::IndexedMap<std::string, Value> map;
    for (const auto& k : keys) {
      map[k] = 1;
    }
    benchmark::DoNotOptimize(map);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MapInsert)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000);

void BM_MapFind(benchmark::State& state) {
  const auto keys = make_keys(static_cast<std::size_t>(state.range(0)));
  arvcore::IndexedMap<std::string, Value> map;
  for (const auto& k : keys) {
    map[k] = 1;
  }
  for (auto _ : state) {
    std::size_t found = 0;
    for (const auto& k : keys) {
      found += map.count(k);
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MapFind)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000);

// N entries of [int, int, float, float], in maps of `per_map` keys under one parent.
template <class J>
J build_comdata(const std::vector<std::string>& keys, std::size_t per_map) {
  J root = J::object();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    J& inner = root["COM_" + std::to_string(i / per_map)];
    inner[keys[i]] = J::array({static_cast<std::int64_t>(i), 7, 0.5, -3.25});
  }
  return root;
}

void BM_Build570kLists_IndexedMap(benchmark::State& state) {
  const auto keys = make_keys(570000);
  for (auto _ : state) {
    benchmark::DoNotOptimize(build_comdata<Value>(keys, static_cast<std::size_t>(state.range(0))));
  }
  state.SetItemsProcessed(state.iterations() * 570000);
}
BENCHMARK(BM_Build570kLists_IndexedMap)->Arg(100)->Arg(570000)->Unit(benchmark::kMillisecond);

void BM_Build570kLists_OrderedMap(benchmark::State& state) {
  const auto keys = make_keys(570000);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        build_comdata<OrderedValue>(keys, static_cast<std::size_t>(state.range(0))));
  }
  state.SetItemsProcessed(state.iterations() * 570000);
}
// One flat map of 570,000 keys takes ordered_map minutes (each insert scans); see the
// 5,700-key maps for its growth.
BENCHMARK(BM_Build570kLists_OrderedMap)->Arg(100)->Arg(5700)->Unit(benchmark::kMillisecond);

// The pool's fast path: one thread takes a thousand small blocks of a few classes and gives
// them back, over and over.
void BM_PoolSmallBlocks(benchmark::State& state) {
  std::vector<void*> blocks(1000);
  for (auto _ : state) {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      blocks[i] = arvcore::value_pool::allocate(16 + i % 8 * 8);
    }
    benchmark::DoNotOptimize(blocks.data());
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      arvcore::value_pool::deallocate(blocks[i], 16 + i % 8 * 8);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(blocks.size()));
}
BENCHMARK(BM_PoolSmallBlocks);

}  // namespace

BENCHMARK_MAIN();
