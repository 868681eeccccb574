#include "check/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace corvatel {
namespace {

constexpr const char* kVersion = CORVATEL_VERSION;
constexpr const char* kBuildTag = "portbld";
constexpr std::int64_t kLongestLimit = 86400;
constexpr const char* kUsage =
    "Usage: %s [-v] [-p] [-r] [-t SECONDS] [-w SECONDS] [-c SECONDS]\n";

constexpr const char* kHelpText =
    "\n"
    "Tell an idle corvatel entry from a broken one, for monitoring systems\n"
    "\n"
    "Options:\n"
    "  -h, --help               print this help and exit\n"
    "  -V, --version            print the version and exit\n"
    "  -t, --timeout=SECONDS    UNKNOWN when zfs has not answered within SECONDS (default 30)\n"
    "  -w, --warning=SECONDS    WARNING when a snapshot is still missing SECONDS after its due\n"
    "                           minute (default 120)\n"
    "  -c, --critical=SECONDS   CRITICAL, missed, after SECONDS (default 300)\n"
    "  -v, --verbose            list every entry, not only those that are not OK\n"
    "  -p, --prometheus         also write the node exporter textfile below\n"
    "  -r, --report             the daily report: the last 24 hours of the log, every entry\n"
    "\n"
    "Files:\n"
    "  Config:   %s\n"
    "  Log:      %s\n"
    "  State:    %s\n"
    "  Textfile: %s\n"
    "  zfs:      %s\n"
    "\n"
    "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n";

const char* program_of(int argc, char** argv) {
  return argc >= 1 && argv != nullptr && argv[0] != nullptr ? argv[0] : "corvatel-check";
}

// An option that takes SECONDS, and where its value goes.
struct Limit {
  char letter;
  std::string_view name;
  std::int64_t CheckOptions::*seconds;  // null: in the lateness
  std::int64_t Lateness::*lateness;
  std::int64_t minimum;
};

const Limit kLimits[] = {
    {'t', "timeout", &CheckOptions::time_limit, nullptr, 1},
    {'w', "warning", nullptr, &Lateness::warning, 0},
    {'c', "critical", nullptr, &Lateness::critical, 0},
};

struct Flag {
  char letter;
  std::string_view name;
  bool CheckOptions::*field;  // null: help or version
};

const Flag kFlags[] = {
    {'v', "verbose", &CheckOptions::verbose},
    {'p', "prometheus", &CheckOptions::textfile},
    {'r', "report", &CheckOptions::report},
    {'h', "help", nullptr},
    {'V', "version", nullptr},
};

bool seconds_value(std::string_view text, std::int64_t minimum, std::int64_t& value) {
  std::string copy(text);
  if (copy.empty() || copy[0] < '0' || copy[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(copy.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < minimum || parsed > kLongestLimit) return false;
  value = parsed;
  return true;
}

// The command line as read so far, and how it ends.
struct Reading {
  CheckCommandLine result;
  bool help = false;
  bool version = false;
  std::string error;  // the first fault
};

void set_limit(const Limit& limit, std::string_view value, Reading& reading) {
  std::int64_t seconds = 0;
  if (!seconds_value(value, limit.minimum, seconds)) {
    if (reading.error.empty())
      reading.error = "invalid " + std::string(limit.name) + " '" + std::string(value) + "'";
    return;
  }
  if (limit.seconds != nullptr)
    reading.result.options.*limit.seconds = seconds;
  else
    reading.result.options.lateness.*limit.lateness = seconds;
}

void set_flag(const Flag& flag, Reading& reading) {
  if (flag.field != nullptr)
    reading.result.options.*flag.field = true;
  else if (flag.letter == 'h')
    reading.help = true;
  else
    reading.version = true;
}

void fault(Reading& reading, const std::string& error) {
  if (reading.error.empty()) reading.error = error;
}

// "--name", "--name=value" or "--name value"; advances `i` past a separate value.
void read_long(int argc, char** argv, int& i, Reading& reading) {
  std::string_view arg = argv[i] + 2;
  std::size_t equals = arg.find('=');
  std::string_view name = arg.substr(0, equals);
  for (const Flag& flag : kFlags) {
    if (name != flag.name) continue;
    if (equals != std::string_view::npos) return fault(reading, "option --" + std::string(name) + " takes no value");
    return set_flag(flag, reading);
  }
  for (const Limit& limit : kLimits) {
    if (name != limit.name) continue;
    if (equals != std::string_view::npos) return set_limit(limit, arg.substr(equals + 1), reading);
    if (i + 1 >= argc) return fault(reading, "option --" + std::string(name) + " needs SECONDS");
    return set_limit(limit, argv[++i], reading);
  }
  fault(reading, "unknown option: " + std::string(argv[i]));
}

// "-vp", "-t30" or "-t 30"; advances `i` past a separate value.
void read_short(int argc, char** argv, int& i, Reading& reading) {
  std::string_view arg = argv[i] + 1;
  for (std::size_t k = 0; k < arg.size(); ++k) {
    const Flag* flag = nullptr;
    for (const Flag& f : kFlags) flag = f.letter == arg[k] ? &f : flag;
    if (flag != nullptr) {
      set_flag(*flag, reading);
      continue;
    }
    const Limit* limit = nullptr;
    for (const Limit& l : kLimits) limit = l.letter == arg[k] ? &l : limit;
    if (limit == nullptr) return fault(reading, "unknown option: -" + std::string(1, arg[k]));
    if (k + 1 < arg.size()) return set_limit(*limit, arg.substr(k + 1), reading);
    if (i + 1 >= argc) return fault(reading, "option -" + std::string(1, arg[k]) + " needs SECONDS");
    return set_limit(*limit, argv[++i], reading);
  }
}

}  // namespace

CheckPaths default_check_paths() {
  return {CORVATEL_CONFIG_PATH, CORVATEL_LOG_PATH, CORVATEL_CHECK_STATE_PATH,
          CORVATEL_CHECK_TEXTFILE_PATH, CORVATEL_ZFS_PATH};
}

CheckCommandLine read_check_command_line(int argc, char** argv, const CheckPaths& paths) {
  const char* program = program_of(argc, argv);
  Reading reading;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-' && arg[1] == '-' && arg[2] != '\0')
      read_long(argc, argv, i, reading);
    else if (arg[0] == '-' && arg[1] != '\0')
      read_short(argc, argv, i, reading);
    else
      fault(reading, "unexpected argument: " + std::string(arg));
  }
  const Lateness& lateness = reading.result.options.lateness;
  if (lateness.warning > lateness.critical)
    fault(reading, "the warning lateness (-w) exceeds the critical one (-c)");
  if (reading.help) {
    std::printf(kUsage, program);
    std::printf(kHelpText, paths.config, paths.log, paths.state, paths.textfile, paths.zfs);
    return reading.result;
  }
  if (reading.version) {
    std::printf("corvatel-check %s (%s)\n", kVersion, kBuildTag);
    return reading.result;
  }
  if (!reading.error.empty()) {
    std::printf("CORVATEL UNKNOWN - %s\n", reading.error.c_str());
    std::printf(kUsage, program);
    return reading.result;
  }
  reading.result.run = true;
  reading.result.exit_status = 0;
  return reading.result;
}

}  // namespace corvatel
