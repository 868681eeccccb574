#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "allocation_fault.h"
#include "config/configuration.h"

namespace corvatel {
namespace {

using testing::AllocationFailure;

// The first-found rule of a linear scan over the keys added so far.
int add_by_scan(std::vector<std::string>& keys, const std::string& dataset,
                const std::string& prefix) {
  std::string key = dataset + "\x1f" + prefix;
  if (std::find(keys.begin(), keys.end(), key) != keys.end()) return 1;
  keys.push_back(key);
  return 0;
}

TEST(ConfigKeySetIndex, AgreesWithALinearScanOverManyKeys) {
  // Few pools and prefixes, so that many keys share a dataset, a prefix or both; names of
  // equal length and names that are prefixes of each other.
  std::mt19937 random(7);
  const std::vector<std::string> prefixes = {"h", "hourly", "hourly_2", "a_b", "b", "daily"};
  ConfigKeySet set;
  std::vector<std::string> scanned;
  for (int i = 0; i < 6000; ++i) {
    std::string dataset = "tank" + std::to_string(random() % 3);
    for (int depth = random() % 3; depth > 0; --depth)
      dataset += "/d" + std::to_string(random() % 40);
    if (random() % 7 == 0) dataset += "_a";
    const std::string& prefix = prefixes[random() % prefixes.size()];
    SCOPED_TRACE(dataset + " " + prefix);
    ASSERT_EQ(config_key_set_add(set, dataset, prefix), add_by_scan(scanned, dataset, prefix));
  }
  EXPECT_EQ(set, ConfigKeySet(scanned.begin(), scanned.end()));
  EXPECT_GT(scanned.size(), 1000u);
}

TEST(ConfigKeySetIndex, FailedAddAddsNothingAndLaterAddsStillFindEveryKey) {
  std::size_t failures = 0;
  for (std::size_t allowed = 0;; ++allowed) {
    SCOPED_TRACE(allowed);
    ConfigKeySet set;
    for (int i = 0; i < 32; ++i)
      ASSERT_EQ(config_key_set_add(set, "tank", "p" + std::to_string(i)), 0);
    int result;
    bool fired;
    {
      AllocationFailure failure(allowed);
      result = config_key_set_add(set, "tank", "p32");
      fired = failure.fired();
    }
    if (!fired) {
      EXPECT_EQ(result, 0);
      break;
    }
    ++failures;
    EXPECT_EQ(result, -1);
    ASSERT_EQ(set.size(), 32u);
    for (int i = 0; i < 32; ++i)
      EXPECT_EQ(config_key_set_add(set, "tank", "p" + std::to_string(i)), 1) << i;
    EXPECT_EQ(config_key_set_add(set, "tank", "p32"), 0);
    EXPECT_EQ(config_key_set_add(set, "tank", "p32"), 1);
    for (int i = 33; i < 100; ++i)
      ASSERT_EQ(config_key_set_add(set, "tank", "p" + std::to_string(i)), 0) << i;
    EXPECT_EQ(config_key_set_add(set, "tank", "p99"), 1);
  }
  EXPECT_GE(failures, 1u);
}

}  // namespace
}  // namespace corvatel
