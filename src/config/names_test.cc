#include "config/names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvatel {
namespace {

using namespace std::string_literals;

TEST(Names, DatasetNameRules) {
  struct Case {
    std::string name;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"tank", true},
      {"tank/home", true},
      {"Tank/Home.old", true},
      {"tank/a:b", true},
      {"tank/a b", true},
      {"tank/a_b-c", true},
      {"tank/-", true},
      {"tank/.x", true},
      {"tank/ x", true},
      {"tank/9x", true},
      {"tank ", true},
      {"Z", true},
      {"", false},
      {"1tank", false},
      {"_tank", false},
      {"/tank", false},
      {" tank", false},
      {"tank/", false},
      {"tank//home", false},
      {"tank/home/", false},
      {"tank@snap", false},
      {"tank#bm", false},
      {"tank,x", false},
      {"tank%x", false},
      {"tank\tx", false},
      {"tank\x1fx", false},
      {"tank\x7f", false},
      {"tank\x80", false},
      {"tank/caf\xc3\xa9", false},
      {"tank\xff", false},
      {"tank\0x"s, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.name + "'");
    EXPECT_EQ(dataset_name_is_valid(c.name), c.valid);
  }
}

TEST(Names, PrefixRules) {
  struct Case {
    std::string prefix;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"daily", true}, {"hourly-2", true}, {"a_b", true},  {"-", true},    {"_", true},
      {"0", true},     {"-x", true},       {"_x", true},   {"9x", true},   {"", true},
      {"a.b", false},  {"a b", false},     {"a/b", false}, {"a@b", false}, {"a:b", false},
      {"a,b", false},  {"a\x1f", false},   {"\xe9", false}, {"a\tb", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.prefix + "'");
    EXPECT_EQ(prefix_is_valid(c.prefix), c.valid);
  }
}

TEST(Names, PoolIsTextBeforeFirstSlash) {
  EXPECT_EQ(dataset_pool("tank"), "tank");
  EXPECT_EQ(dataset_pool("tank/a"), "tank");
  EXPECT_EQ(dataset_pool("tank/a/b"), "tank");
  EXPECT_EQ(dataset_pool("tank/x"), dataset_pool("tank"));
  EXPECT_NE(dataset_pool("tank/x"), dataset_pool("tank2/x"));
  EXPECT_NE(dataset_pool("tank"), dataset_pool("tanker/a"));
}

TEST(Names, AncestorRelation) {
  struct Case {
    std::string ancestor;
    std::string descendant;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"tank", "tank/a", true},     {"tank", "tank/a/b", true},   {"tank/a", "tank/a/b", true},
      {"tank", "tank", false},      {"tank", "tanker/a", false},  {"tank", "tanker", false},
      {"tank/a", "tank", false},    {"tank/a", "tank/ab", false}, {"tank/a", "tank/b/a", false},
      {"tank/a/b", "tank/a", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ancestor + " / " + c.descendant);
    EXPECT_EQ(dataset_is_ancestor(c.ancestor, c.descendant), c.expected);
  }
}

TEST(Names, ConfigKeyJoinsWithUnitSeparator) {
  ConfigKeyBuffer a;
  ConfigKeyBuffer b;
  EXPECT_EQ(config_key("tank/home", "hourly", a), "tank/home\x1fhourly");
  EXPECT_NE(config_key("tank", "a_b", a), config_key("tank_a", "b", b));
  // The longest a configuration line makes fits; one more character does not.
  const std::string dataset(255, 'd');
  const std::string prefix(63, 'p');
  EXPECT_EQ(config_key(dataset, prefix, a), dataset + "\x1f" + prefix);
  EXPECT_EQ(config_key(dataset, prefix + "p", a), "");
}

}  // namespace
}  // namespace corvatel
