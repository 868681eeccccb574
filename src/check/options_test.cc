#include "check/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvatel {
namespace {

const CheckPaths kPaths = {"/etc/c.conf", "/var/log/c.log", "/var/db/c.state",
                           "/var/tmp/node_exporter/c.prom", "/sbin/zfs"};
const std::string kUsage =
    "Usage: corvatel-check [-v] [-p] [-r] [-t SECONDS] [-w SECONDS] [-c SECONDS]\n";

struct Read {
  CheckCommandLine command_line;
  std::string out;
};

Read read(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = "corvatel-check";
  argv.push_back(program.data());
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  Read r{read_check_command_line(static_cast<int>(argv.size() - 1), argv.data(), kPaths), ""};
  r.out = ::testing::internal::GetCapturedStdout();
  return r;
}

TEST(CheckOptions, ReadsEveryForm) {
  struct Case {
    std::vector<std::string> args;
    std::int64_t time_limit, warning, critical;
    bool verbose, textfile, report;
  };
  const Case cases[] = {
      {{}, 30, 120, 300, false, false, false},
      {{"-t", "5"}, 5, 120, 300, false, false, false},
      {{"-t5", "-w0", "-c", "0"}, 5, 0, 0, false, false, false},
      {{"--timeout=7", "--warning", "60", "--critical=600"}, 7, 60, 600, false, false, false},
      {{"-vpr"}, 30, 120, 300, true, true, true},
      {{"-v", "--prometheus", "--report"}, 30, 120, 300, true, true, true},
      {{"-vt", "9"}, 9, 120, 300, true, false, false},
      {{"-t", "1", "-t", "86400"}, 86400, 120, 300, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Read r = read(c.args);
    ASSERT_TRUE(r.command_line.run);
    EXPECT_EQ(r.command_line.exit_status, 0);
    EXPECT_EQ(r.out, "");
    const CheckOptions& o = r.command_line.options;
    EXPECT_EQ(o.time_limit, c.time_limit);
    EXPECT_EQ(o.lateness.warning, c.warning);
    EXPECT_EQ(o.lateness.critical, c.critical);
    EXPECT_EQ(o.verbose, c.verbose);
    EXPECT_EQ(o.textfile, c.textfile);
    EXPECT_EQ(o.report, c.report);
  }
}

TEST(CheckOptions, FaultsAreUnknownWithTheUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string fault;
  };
  const Case cases[] = {
      {{"-x"}, "unknown option: -x"},
      {{"--extra"}, "unknown option: --extra"},
      {{"host"}, "unexpected argument: host"},
      {{"-"}, "unexpected argument: -"},
      {{"-t"}, "option -t needs SECONDS"},
      {{"--timeout"}, "option --timeout needs SECONDS"},
      {{"-t", "0"}, "invalid timeout '0'"},
      {{"-t", "86401"}, "invalid timeout '86401'"},
      {{"-t", "1.5"}, "invalid timeout '1.5'"},
      {{"-t", " 5"}, "invalid timeout ' 5'"},
      {{"-w", "-1"}, "invalid warning '-1'"},
      {{"-c", "x"}, "invalid critical 'x'"},
      {{"--verbose=yes"}, "option --verbose takes no value"},
      {{"-w", "400"}, "the warning lateness (-w) exceeds the critical one (-c)"},
      {{"-x", "-y"}, "unknown option: -x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Read r = read(c.args);
    EXPECT_FALSE(r.command_line.run);
    EXPECT_EQ(r.command_line.exit_status, 3);
    EXPECT_EQ(r.out, "CORVATEL UNKNOWN - " + c.fault + "\n" + kUsage);
  }
}

TEST(CheckOptions, HelpAndVersionAnswerAndEndAsTheGuidelinesAsk) {
  Read help = read({"-h"});
  EXPECT_FALSE(help.command_line.run);
  EXPECT_EQ(help.command_line.exit_status, 3);
  EXPECT_EQ(help.out, kUsage +
                          "\n"
                          "Tell an idle corvatel entry from a broken one, for monitoring systems\n"
                          "\n"
                          "Options:\n"
                          "  -h, --help               print this help and exit\n"
                          "  -V, --version            print the version and exit\n"
                          "  -t, --timeout=SECONDS    UNKNOWN when zfs has not answered within "
                          "SECONDS (default 30)\n"
                          "  -w, --warning=SECONDS    WARNING when a snapshot is still missing "
                          "SECONDS after its due\n"
                          "                           minute (default 120)\n"
                          "  -c, --critical=SECONDS   CRITICAL, missed, after SECONDS (default "
                          "300)\n"
                          "  -v, --verbose            list every entry, not only those that are "
                          "not OK\n"
                          "  -p, --prometheus         also write the node exporter textfile "
                          "below\n"
                          "  -r, --report             the daily report: the last 24 hours of the "
                          "log, every entry\n"
                          "\n"
                          "Files:\n"
                          "  Config:   /etc/c.conf\n"
                          "  Log:      /var/log/c.log\n"
                          "  State:    /var/db/c.state\n"
                          "  Textfile: /var/tmp/node_exporter/c.prom\n"
                          "  zfs:      /sbin/zfs\n"
                          "\n"
                          "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n");
  EXPECT_EQ(read({"-x", "--help"}).out, help.out);  // help outranks the rest
  for (const char* version : {"-V", "--version"}) {
    Read r = read({version});
    EXPECT_FALSE(r.command_line.run);
    EXPECT_EQ(r.command_line.exit_status, 3);
    EXPECT_EQ(r.out, std::string("corvatel-check ") + CORVATEL_VERSION + " (portbld)\n");
  }
}

}  // namespace
}  // namespace corvatel
