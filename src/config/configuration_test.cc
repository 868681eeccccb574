#include "config/configuration.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "allocation_fault.h"
#include "log_capture.h"

namespace corvatel {
namespace {

using namespace std::string_literals;

/// Lets `allowed` more allocations succeed and fails the rest, for the life of the object;
/// -1 lets every allocation succeed.
class AllocationBudget {
 public:
  explicit AllocationBudget(long allowed) {
    if (allowed >= 0) failure_.emplace(static_cast<std::size_t>(allowed), true);
  }

 private:
  std::optional<testing::AllocationFailure> failure_;
};

struct Outcome {
  int flag = -1;
  int read_errno = -1;
  bool at_eof = false;
  std::vector<std::string> messages;
  JobList standard;
  JobList recursive;
  ConfigKeySet keys;
};

/// Reads `text` as the configuration at `minute` into `out`; a `budget` of -1 is unlimited.
void read_into(Outcome& out, const std::string& text, std::int64_t minute, long budget = -1) {
  testing::LogCapture log;
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), stream), text.size());
  std::rewind(stream);
  LineBuffer line;
  {
    AllocationBudget limit(budget);
    out.flag = read_configuration(stream, line, minute, out.standard, out.recursive, out.keys,
                                  out.read_errno);
  }
  out.at_eof = std::feof(stream) != 0;
  line.release();
  std::fclose(stream);
  out.messages = log.messages();
}

Outcome read_text(const std::string& text, std::int64_t minute = 0) {
  Outcome out;
  read_into(out, text, minute);
  return out;
}

std::vector<std::string> datasets_of(const JobList& list) {
  std::vector<std::string> names;
  for (const SnapshotJob& job : list.items) names.push_back(job.dataset);
  return names;
}

const std::string kDataset200 = "t" + std::string(199, 'a');

TEST(ConfigRead, RejectedLinesLogTheirMessage) {
  struct Case {
    std::string line;
    std::string message;
  };
  const std::string e = "Error: Config error for tank: ";
  const std::vector<Case> cases = {
      {"tank\0x,60,24,hourly,no,0"s, "Error: Config error: NUL byte in line"},
      {"# comment \0 here"s, "Error: Config error: NUL byte in line"},
      {"\0"s, "Error: Config error: NUL byte in line"},
      {",tank,60,24,hourly,no,0", "Error: Config error: adjacent comma delimiters"},
      {"tank,60,24,hourly,no,0,,", "Error: Config error: adjacent comma delimiters"},
      {"tank,,60,24,hourly,no,0", "Error: Config error: adjacent comma delimiters"},
      {"bad name,,", "Error: Config error: adjacent comma delimiters"},
      {"t" + std::string(255, 'a') + ",60,24,p,no,0", "Error: Config error: dataset name too long"},
      {"1" + std::string(255, 'a'), "Error: Config error: dataset name too long"},
      {"1tank,60,24,hourly,no,0", "Error: Config error: invalid dataset name '1tank'"},
      {"  #x", "Error: Config error: invalid dataset name '  #x'"},
      {"tank\tx,60,24,hourly,no,0", "Error: Config error: invalid dataset name 'tank\tx'"},
      {"tank/,0", "Error: Config error: invalid dataset name 'tank/'"},
      {"tank", e + "missing interval field"},
      {"tank,", e + "missing interval field"},
      {"tank,0,24,hourly,no,0", e + "invalid interval '0'"},
      {"tank,-5,24,hourly,no,0", e + "invalid interval '-5'"},
      {"tank,5 ,24,hourly,no,0", e + "invalid interval '5 '"},
      {"tank,0x10,24,hourly,no,0", e + "invalid interval '0x10'"},
      {"tank,abc", e + "invalid interval 'abc'"},
      {"tank, ,24,hourly,no,0", e + "invalid interval ' '"},
      {"tank,9223372036854775808,24,hourly,no,0", e + "invalid interval '9223372036854775808'"},
      {"tank,0,0,a.b,maybe,x,y", e + "invalid interval '0'"},
      {"tank,60", e + "missing retention field"},
      {"tank,60,0,hourly,no,0", e + "invalid retention count '0'"},
      {"tank,60,24x,hourly,no,0", e + "invalid retention count '24x'"},
      {"tank,60,-1", e + "invalid retention count '-1'"},
      {"tank,60,24", e + "missing prefix field"},
      {"tank,60,24," + std::string(64, 'p') + ",no,0", e + "prefix too long"},
      {"tank,60,24," + std::string(64, '.'), e + "prefix too long"},
      {"tank,60,24,a.b,no,0", e + "invalid prefix 'a.b'"},
      {"tank,60,24,a b,no,0", e + "invalid prefix 'a b'"},
      {kDataset200 + ",60,24," + std::string(30, 'p') + ",no,0",
       "Error: Config error for " + kDataset200 +
           ": dataset/prefix timestamp name exceeds ZFS limit"},
      {kDataset200 + ",60,24,a.b" + std::string(30, 'p'),
       "Error: Config error for " + kDataset200 + ": invalid prefix 'a.b" +
           std::string(30, 'p') + "'"},
      {"t" + std::string(254, 'a') + ",60,24,p,no,0",
       "Error: Config error for t" + std::string(254, 'a') +
           ": dataset/prefix timestamp name exceeds ZFS limit"},
      {"tank,60,24,hourly", e + "missing recursive field"},
      {"tank,60,24,hourly," + std::string(32, 'y') + ",0", e + "recursive field too long"},
      {"tank,60,24,hourly," + std::string(32, 'y'), e + "recursive field too long"},
      {"tank,60,24,hourly," + std::string(31, 'y') + ",0",
       e + "invalid recursive flag option '" + std::string(31, 'y') + "'"},
      {"tank,60,24,hourly,no", e + "missing min_bytes field"},
      {"tank,60,24,hourly,maybe", e + "missing min_bytes field"},
      {"tank,60,24,hourly,no,-1", e + "invalid byte threshold or trailing garbage"},
      {"tank,60,24,hourly,no,12abc", e + "invalid byte threshold or trailing garbage"},
      {"tank,60,24,hourly,no,9223372036854775808",
       e + "invalid byte threshold or trailing garbage"},
      {"tank,60,24,hourly,no,0,5", e + "invalid byte threshold or trailing garbage"},
      {"tank,60,24,hourly,maybe,x", e + "invalid byte threshold or trailing garbage"},
      {"tank,60,24,hourly,Yes,0", e + "invalid recursive flag option 'Yes'"},
      {"tank,60,24,hourly,YES,0", e + "invalid recursive flag option 'YES'"},
      {"tank,60,24,hourly,n,0", e + "invalid recursive flag option 'n'"},
      {"tank,60,24,hourly,no ,0", e + "invalid recursive flag option 'no '"},
      {"tank,60,24,hourly, yes,0", e + "invalid recursive flag option ' yes'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome out = read_text(c.line + "\n");
    EXPECT_EQ(out.flag, 1);
    EXPECT_EQ(out.messages, std::vector<std::string>{c.message});
    EXPECT_TRUE(out.standard.items.empty());
    EXPECT_TRUE(out.recursive.items.empty());
    EXPECT_TRUE(out.keys.empty());
  }
}

TEST(ConfigRead, NulByteEndingUnterminatedLastLineIsRejected) {
  Outcome out = read_text("tank,60,24,hourly,no,0\ntank/a,60,24,hourly,no,0\0"s);
  EXPECT_EQ(out.flag, 1);
  EXPECT_EQ(out.messages, std::vector<std::string>{"Error: Config error: NUL byte in line"});
  EXPECT_EQ(datasets_of(out.standard), std::vector<std::string>{"tank"});
}

TEST(ConfigRead, AcceptedLinesBecomeJobs) {
  struct Case {
    std::string line;
    std::string dataset;
    std::string prefix;
    std::int64_t retention;
    std::int64_t min_bytes;
    bool recursive;
  };
  const std::string max = "9223372036854775807";
  const std::vector<Case> cases = {
      {"tank,60,24,hourly,no,0\n", "tank", "hourly", 24, 0, false},
      {"tank/home,60,24,hourly,yes,1000000\n", "tank/home", "hourly", 24, 1000000, true},
      {"tank,60,24,hourly,no,0,\n", "tank", "hourly", 24, 0, false},
      {"tank,60,24,hourly,no,0\r\n", "tank", "hourly", 24, 0, false},
      {"tank,60,24,hourly,no,0 \t\v\f\r\n", "tank", "hourly", 24, 0, false},
      {"tank,60,24,hourly,no,0", "tank", "hourly", 24, 0, false},
      {"tank/a b,60,24,hourly,no,0\n", "tank/a b", "hourly", 24, 0, false},
      {"tank ,60,24,hourly,no,0\n", "tank ", "hourly", 24, 0, false},
      {"tank,+5,010,daily,no, 7\n", "tank", "daily", 10, 7, false},
      {"tank," + max + "," + max + ",p,yes," + max + "\n", "tank", "p", INT64_MAX, INT64_MAX,
       true},
      {"tank,60,24," + std::string(63, 'p') + ",no,0\n", "tank", std::string(63, 'p'), 24, 0,
       false},
      {kDataset200 + ",60,24," + std::string(29, 'p') + ",no,0\n", kDataset200,
       std::string(29, 'p'), 24, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome out = read_text(c.line);
    EXPECT_EQ(out.flag, 0);
    EXPECT_TRUE(out.messages.empty());
    const JobList& list = c.recursive ? out.recursive : out.standard;
    const JobList& other = c.recursive ? out.standard : out.recursive;
    EXPECT_TRUE(other.items.empty());
    ASSERT_EQ(list.items.size(), 1u);
    const SnapshotJob& job = list.items[0];
    EXPECT_EQ(job.dataset, c.dataset);
    EXPECT_EQ(job.prefix, c.prefix);
    EXPECT_EQ(job.retention, c.retention);
    EXPECT_EQ(job.min_bytes, c.min_bytes);
    EXPECT_EQ(job.wave, 0u);
    EXPECT_FALSE(job.failed);
    EXPECT_EQ(job.written_total, -1);
    EXPECT_EQ(out.keys, ConfigKeySet{c.dataset + "\x1f" + c.prefix});
  }
}

TEST(ConfigRead, BlankAndCommentLinesAreSkippedSilently) {
  const std::vector<std::string> files = {
      "",
      "\n\n",
      "   \t\n# comment\n#\n\r\n\v\f\n",
      "# a comment that is long: " + std::string(100000, 'x') + "\n",
      "#,,bad,,\n#1tank,0,0\n",
  };
  for (const std::string& text : files) {
    SCOPED_TRACE(text.substr(0, 40));
    Outcome out = read_text(text);
    EXPECT_EQ(out.flag, 0);
    EXPECT_TRUE(out.messages.empty());
    EXPECT_TRUE(out.standard.items.empty());
    EXPECT_TRUE(out.recursive.items.empty());
    EXPECT_TRUE(out.keys.empty());
    EXPECT_TRUE(out.at_eof);
    EXPECT_EQ(out.read_errno, 0);
  }
}

TEST(ConfigRead, CrlfFileReadsLikeLfFile) {
  const std::string lf = "# jobs\ntank,60,24,hourly,no,0\n\ntank/a,1,2,daily,yes,5\nbad\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? "\r\n" : std::string(1, c);
  Outcome a = read_text(lf);
  Outcome b = read_text(crlf);
  EXPECT_EQ(a.flag, 1);
  EXPECT_EQ(b.flag, a.flag);
  EXPECT_EQ(b.messages, a.messages);
  EXPECT_EQ(datasets_of(b.standard), (std::vector<std::string>{"tank"}));
  EXPECT_EQ(datasets_of(b.recursive), (std::vector<std::string>{"tank/a"}));
  EXPECT_EQ(b.keys, a.keys);
}

TEST(ConfigRead, DueWhenMinuteOfDayIsAMultipleOfTheInterval) {
  struct Case {
    std::int64_t minute;
    std::string interval;
    bool due;
  };
  const std::vector<Case> cases = {
      {0, "1", true},        {0, "60", true},      {0, "1440", true},
      {0, "9223372036854775807", true},            {90, "1", true},
      {90, "2", true},       {90, "3", true},      {90, "5", true},
      {90, "6", true},       {90, "9", true},      {90, "10", true},
      {90, "15", true},      {90, "18", true},     {90, "30", true},
      {90, "45", true},      {90, "90", true},     {90, "60", false},
      {90, "7", false},      {90, "91", false},    {90, "1440", false},
      {1439, "1", true},     {1439, "1439", true}, {1439, "60", false},
      {1439, "2", false},    {1439, "1440", false}, {50, "50", true},
      {100, "50", true},     {1400, "50", true},   {10, "50", false},
      {1410, "50", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("minute " + std::to_string(c.minute) + " interval " + c.interval);
    Outcome out = read_text("tank," + c.interval + ",1,p,no,0\n", c.minute);
    EXPECT_EQ(out.flag, 0);
    EXPECT_TRUE(out.messages.empty());
    EXPECT_EQ(out.standard.items.size(), c.due ? 1u : 0u);
    EXPECT_EQ(out.keys.size(), 1u);  // registered whether due or not
  }
}

TEST(EntryIsDue, MinuteOfDayIsAMultipleOfTheInterval) {
  struct Case {
    std::int64_t interval;
    std::int64_t minute;
    bool due;
  } cases[] = {
      {1, 0, true},      {1, 1439, true},      {60, 0, true},
      {60, 840, true},   {60, 90, false},      {50, 1400, true},
      {50, 10, false},   {1440, 0, true},      {1440, 1439, false},
      {INT64_MAX, 0, true}, {INT64_MAX, 1439, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(entry_is_due(c.interval, c.minute), c.due) << c.interval << " at " << c.minute;
}

TEST(ConfigRead, EveryEntryIsDueAtMidnightInFileOrder) {
  Outcome out = read_text(
      "tank/a,60,1,p,no,0\ntank/b,7,1,p,yes,0\ntank/c,1439,1,p,no,0\ntank/d,5000,1,p,yes,0\n");
  EXPECT_EQ(out.flag, 0);
  EXPECT_EQ(datasets_of(out.standard), (std::vector<std::string>{"tank/a", "tank/c"}));
  EXPECT_EQ(datasets_of(out.recursive), (std::vector<std::string>{"tank/b", "tank/d"}));
}

TEST(ConfigRead, JobsKeepTheirInterval) {
  const std::string max = "9223372036854775807";
  Outcome out = read_text("tank/a,60,1,p,no,0\ntank/b,+5,1,p,yes,0\ntank/c," + max +
                          ",1,p,no,0\n");
  ASSERT_EQ(out.standard.items.size(), 2u);
  ASSERT_EQ(out.recursive.items.size(), 1u);
  EXPECT_EQ(out.standard.items[0].interval, 60);
  EXPECT_EQ(out.recursive.items[0].interval, 5);
  EXPECT_EQ(out.standard.items[1].interval, INT64_MAX);
}

TEST(ConfigRead, DuplicateKeysAreReportedWhetherDueOrNot) {
  const std::string text =
      "tank,60,24,hourly,no,0\n"
      "tank,30,5,hourly,yes,0\n"
      "tank,60,24,daily,no,0\n"
      "tank/a,60,24,hourly,no,0\n";
  const std::vector<std::string> duplicate = {
      "Error: Config error for tank: duplicate dataset/prefix 'hourly' in config, skipping"};
  for (std::int64_t minute : {0, 1, 30}) {
    SCOPED_TRACE(minute);
    Outcome out = read_text(text, minute);
    EXPECT_EQ(out.flag, 1);
    EXPECT_EQ(out.messages, duplicate);
    EXPECT_TRUE(out.recursive.items.empty());
    EXPECT_EQ(out.keys,
              (ConfigKeySet{"tank\x1fhourly", "tank\x1f" "daily", "tank/a\x1fhourly"}));
    EXPECT_EQ(out.standard.items.size(), minute == 0 ? 3u : 0u);
  }
}

TEST(ConfigRead, RejectedLineNeverRegistersItsKey) {
  Outcome out = read_text("tank,0,24,hourly,no,0\ntank,60,24,hourly,maybe,0\ntank,60,24,hourly,no,0\n");
  EXPECT_EQ(out.flag, 1);
  EXPECT_EQ(out.messages,
            (std::vector<std::string>{
                "Error: Config error for tank: invalid interval '0'",
                "Error: Config error for tank: invalid recursive flag option 'maybe'"}));
  EXPECT_EQ(datasets_of(out.standard), (std::vector<std::string>{"tank"}));
  EXPECT_EQ(out.keys.size(), 1u);
}

TEST(ConfigRead, BadLineSetsFlagAndGoodLinesStillRun) {
  Outcome out = read_text("tank/a,1,1,p,no,0\n1bad\ntank/b,1,1,p,yes,0\ntank/c,1,1,p,no,0\n");
  EXPECT_EQ(out.flag, 1);
  EXPECT_EQ(out.messages,
            std::vector<std::string>{"Error: Config error: invalid dataset name '1bad'"});
  EXPECT_EQ(datasets_of(out.standard), (std::vector<std::string>{"tank/a", "tank/c"}));
  EXPECT_EQ(datasets_of(out.recursive), (std::vector<std::string>{"tank/b"}));
  EXPECT_TRUE(out.at_eof);
}

TEST(ConfigRead, LineBufferIsReusedAndReleased) {
  testing::LogCapture log;
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  std::fputs("tank,60,24,hourly,no,0\n", stream);
  std::rewind(stream);
  LineBuffer line;
  JobList standard, recursive;
  ConfigKeySet keys;
  int read_errno = -1;
  EXPECT_EQ(read_configuration(stream, line, 0, standard, recursive, keys, read_errno), 0);
  EXPECT_NE(line.data, nullptr);
  EXPECT_GT(line.size, 0u);
  line.release();
  EXPECT_EQ(line.data, nullptr);
  EXPECT_EQ(line.size, 0u);
  std::fclose(stream);
}

TEST(ConfigRead, ReadErrorLeavesErrnoAndNoEndOfFile) {
  testing::LogCapture log;
  std::FILE* stream = std::fopen(std::filesystem::temp_directory_path().c_str(), "re");
  ASSERT_NE(stream, nullptr);
  LineBuffer line;
  JobList standard, recursive;
  ConfigKeySet keys;
  int read_errno = -1;
  EXPECT_EQ(read_configuration(stream, line, 0, standard, recursive, keys, read_errno), 0);
  EXPECT_EQ(read_errno, EISDIR);
  EXPECT_EQ(std::feof(stream), 0);
  EXPECT_TRUE(log.messages().empty());
  line.release();
  std::fclose(stream);
}

TEST(ConfigKeySet, AddsNewKeysAndFindsPresentOnes) {
  ConfigKeySet set;
  EXPECT_EQ(config_key_set_add(set, "tank", "hourly"), 0);
  EXPECT_EQ(config_key_set_add(set, "tank", "daily"), 0);
  EXPECT_EQ(config_key_set_add(set, "tank/a", "hourly"), 0);
  EXPECT_EQ(config_key_set_add(set, "tank", "a_b"), 0);
  EXPECT_EQ(config_key_set_add(set, "tank_a", "b"), 0);
  EXPECT_EQ(config_key_set_add(set, "tank", "hourly"), 1);
  EXPECT_EQ(config_key_set_add(set, "tank/a", "hourly"), 1);
  EXPECT_EQ(set, (ConfigKeySet{"tank\x1fhourly", "tank\x1f" "daily", "tank/a\x1fhourly",
                               "tank\x1f" "a_b", "tank_a\x1f" "b"}));
}

TEST(AllocationFailure, JobListAppendWithoutRoomAddsNothing) {
  JobList list;
  int result;
  {
    AllocationBudget limit(0);
    result = job_list_append(list, "tank", "hourly", 24, 0);
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(list.items.size(), 0u);
  EXPECT_EQ(list.items.capacity(), 0u);
}

TEST(AllocationFailure, FailedPrefixCopyFreesDatasetCopyAndKeepsJobs) {
  const std::string dataset = "tank/a/long/dataset/name";
  const std::string prefix = "a-prefix-too-long-for-any-inline-buffer";
  ASSERT_GT(dataset.size(), testing::inline_string_capacity());  // both copies allocate
  ASSERT_GT(prefix.size(), testing::inline_string_capacity());
  JobList list;
  ASSERT_EQ(job_list_append(list, "tank", "hourly", 24, 0), 0);
  long live_before = testing::live_allocations();
  int result;
  {
    AllocationBudget limit(1);  // the dataset copy succeeds, the prefix copy fails
    result = job_list_append(list, dataset, prefix, 5, 6);
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(testing::live_allocations(), live_before);
  ASSERT_EQ(list.items.size(), 1u);
  EXPECT_EQ(list.items.capacity(), 32u);
  EXPECT_EQ(list.items[0].dataset, "tank");
  EXPECT_EQ(list.items[0].prefix, "hourly");
}

TEST(AllocationFailure, KeySetAddWithoutMemoryAddsNothing) {
  for (const std::string& dataset : {"tank"s, "tank/a/long/dataset/name"s}) {
    SCOPED_TRACE(dataset);
    ConfigKeySet set;
    int result;
    {
      AllocationBudget limit(0);
      result = config_key_set_add(set, dataset, "hourly");
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(set.empty());
  }
}

// A repeated line is a duplicate whatever memory is left: its key is looked up without one.
TEST(AllocationFailure, DuplicateLineNeedsNoMemory) {
  const std::string line = "tank/projects/alpha,60,24,hourly,no,0\n";
  ASSERT_GT(std::string("tank/projects/alpha\x1fhourly").size(),
            testing::inline_string_capacity());  // a key string would allocate
  std::size_t first_line = 0;  // the allocations that reading the line once takes
  {
    Outcome once;
    testing::AllocationFailure counting(SIZE_MAX);
    read_into(once, line, 0);
    first_line = counting.calls();
    ASSERT_EQ(once.flag, 0);
  }
  Outcome out;
  read_into(out, line + line, 0, static_cast<long>(first_line));  // nothing after the first line
  EXPECT_EQ(out.flag, 1);
  EXPECT_EQ(out.messages,
            std::vector<std::string>{"Error: Config error for tank/projects/alpha: duplicate "
                                     "dataset/prefix 'hourly' in config, skipping"});
  EXPECT_EQ(out.standard.items.size(), 1u);
  EXPECT_TRUE(out.at_eof);
}

TEST(AllocationFailure, UntrackedLineIsRejected) {
  Outcome out;
  read_into(out, "tank,60,24,hourly,no,0\n", 0, 0);
  EXPECT_EQ(out.flag, kConfigLineLost);
  EXPECT_EQ(out.messages,
            std::vector<std::string>{"Error: Failed to track config entry for tank"});
  EXPECT_TRUE(out.standard.items.empty());
  EXPECT_TRUE(out.keys.empty());
  EXPECT_TRUE(out.at_eof);
}

TEST(AllocationFailure, FailedAppendKeepsKeySoRepeatIsDuplicate) {
  Outcome out;
  out.keys.reserve(8);  // room already: registering a key then allocates only its node
  ASSERT_EQ(config_key_set_add(out.keys, "other", "p"), 0);
  read_into(out, "tank,60,24,hourly,no,0\ntank,60,24,hourly,yes,0\n", 0, 1);
  EXPECT_EQ(out.flag, kConfigLineLost);  // the later duplicate does not lower it
  EXPECT_EQ(out.messages,
            (std::vector<std::string>{
                "Error: Failed to allocate batch entry for tank",
                "Error: Config error for tank: duplicate dataset/prefix 'hourly' in config, "
                "skipping"}));
  EXPECT_TRUE(out.standard.items.empty());
  EXPECT_TRUE(out.recursive.items.empty());
  EXPECT_EQ(out.keys, (ConfigKeySet{"other\x1fp", "tank\x1fhourly"}));
}

}  // namespace
}  // namespace corvatel
