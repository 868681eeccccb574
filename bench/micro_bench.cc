// Micro benchmarks of the per-line handlers and the prune matcher, on names shaped like those
// of the scale scenario (scenario_gen.cc). No log is open, so log_event costs nothing here.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "config/job_list.h"
#include "metrics/metrics.h"
#include "snapshot/inventory.h"
#include "snapshot/prune.h"

namespace corvatel {
namespace {

constexpr const char* STAMP = "2025-03-01_12:00:00p0000";

std::string dataset_name(std::size_t i) {
  char text[48];
  std::snprintf(text, sizeof text, "p%zu/g%04zu/d%zu", i % 10, (i / 10) % 10000, i / 100000);
  return text;
}

// `count` snapshot names over `datasets` datasets, interleaved as a newest-first listing is.
std::vector<std::string> listing(std::size_t count, std::size_t datasets) {
  std::vector<std::string> names;
  names.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t hour = i / datasets;
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "2025-%02zu-%02zu_%02zu:00:00p0000", 1 + hour / 672,
                  1 + hour / 24 % 28, hour % 24);
    names.push_back(dataset_name(i % datasets) + "@hourly_" + stamp);
  }
  return names;
}

// N names over 10,000 datasets, tallied for an hourly job on each of them (retention above
// every count, so that no name is kept), into a freshly prepared inventory per iteration.
void BM_AddInventoryLine(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<std::string> names = listing(count, 10000);
  JobList standard;
  JobList recursive;
  for (std::size_t i = 0; i < 10000; ++i) {
    if (job_list_append(standard, dataset_name(i), "hourly", 1000, 0) != 0)
      state.SkipWithError("out of memory");
  }
  for (auto _ : state) {
    SnapshotInventory inventory;
    InventoryListing reading;
    if (prepare_inventory_listing(reading, inventory, standard, recursive, STAMP) != 0)
      state.SkipWithError("out of memory");
    for (const std::string& name : names)
      benchmark::DoNotOptimize(add_inventory_line(name.c_str(), &reading));
    benchmark::DoNotOptimize(inventory.standard.data());
    free_snapshot_inventory(inventory);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_AddInventoryLine)->Arg(100000)->Arg(1000000);

void BM_ParseMetricLine(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < count; ++i)
    lines.push_back(dataset_name(i) + "\t" + std::to_string(1000000 + i * 7919));
  for (auto _ : state) {
    MetricTable table;
    for (const std::string& line : lines)
      benchmark::DoNotOptimize(parse_metric_line(line.c_str(), &table));
    sort_metric_table(table);
    benchmark::DoNotOptimize(table.rows.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_ParseMetricLine)->Arg(10000)->Arg(100000);

// The configuration handler, line by line from a memory stream: validation, the duplicate
// test against every key read before, the due test and the append.
void BM_ReadConfiguration(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  std::string text;
  for (std::size_t i = 0; i < count; ++i)
    text += dataset_name(i) + (i % 2 ? ",60,24,hourly,no,1048576\n" : ",720,10,rec,yes,0\n");
  for (auto _ : state) {
    std::FILE* stream = fmemopen(text.data(), text.size(), "r");
    LineBuffer line;
    JobList standard, recursive;
    ConfigKeySet keys;
    int read_errno = 0;
    benchmark::DoNotOptimize(
        read_configuration(stream, line, 720, standard, recursive, keys, read_errno));
    std::fclose(stream);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_ReadConfiguration)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_IsPruneMatch(benchmark::State& state) {
  const std::string dataset = "p3/g0042/d5";
  const std::string names[] = {
      dataset + "@hourly_" + STAMP,                   // a match
      dataset + "@hourly_2025-03-01_12:00:00+0000",  // fails at the last character checked
      dataset + "@rec_" + STAMP,                      // another prefix
      "p3/g0042/d4@hourly_" + std::string(STAMP),     // another dataset of equal length
  };
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(is_prune_match(names[i], dataset, "hourly_"));
    i = (i + 1) % 4;
  }
}
BENCHMARK(BM_IsPruneMatch);

}  // namespace
}  // namespace corvatel

BENCHMARK_MAIN();
