// The built k73log against k73sim on a pseudo-terminal, in real time: the
// formats value by value, a simulator killed and started again mid-run, a
// stop by SIGTERM, and the usage errors.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "log_process.h"
#include "scan_file.h"
#include "sim_process.h"

namespace k73logtest {
namespace {

// Steady inputs (channel 4 would otherwise be a sine), no noise.
const std::vector<std::string> kSimArgs = {"--noise", "0",        "--input",
                                           "4=2000",  "--report", "report.txt"};
const std::string kChannels = "0,1,4,5:0-3";
const std::vector<double> kInputsMv = {1234.5, 2500, 2000, 100, 110, 120, 130};
const std::string kColumns = "ch0.0_mV,ch1.0_mV,ch4.0_mV,ch5.0_mV,ch5.1_mV,ch5.2_mV,ch5.3_mV";

std::vector<std::string> withArgs(std::vector<std::string> more) {
  std::vector<std::string> args = {"--channels", kChannels};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The csv fields of a row after its time_utc.
std::vector<double> numbersAfterTime(const std::string& row) {
  std::vector<double> values;
  size_t at = row.find(',');
  while (at != std::string::npos) {
    values.push_back(std::strtod(row.c_str() + at + 1, nullptr));
    at = row.find(',', at + 1);
  }
  return values;
}

void runPython(const std::string& args) {
  const std::string script = std::string(K73LOG_TEST_DIR) + "/read_logs.py";
  EXPECT_EQ(std::system(("/usr/bin/python3 " + script + " " + args + " > python.txt 2>&1").c_str()),
            0)
      << readFile("python.txt");
}

TEST(K73logProgram, FormatsCarryTheSimulatorsInputsAndSigtermStopsTheConverter) {
  k73test::SimProcess sim(k73test::binPath("k73sim"), kSimArgs);
  ASSERT_TRUE(sim.start()) << sim.log();

  // dat without a header: the console's data file for the same scans.
  LogProcess bare(withArgs({"--count", "3", "--no-header", "-o", "run.dat"}));
  ASSERT_EQ(bare.run(), 0) << bare.err();
  {
    tov::ScanDataFile console;
    ASSERT_TRUE(console.open("console.dat"));
    for (int scan = 0; scan < 3; ++scan) {
      for (double mv : kInputsMv) console.addValue(mv);
      console.endLine();
    }
  }
  const std::string consoleFile = readFile("console.dat");
  EXPECT_EQ(readFile("run.dat"), consoleFile);
  EXPECT_EQ(bare.err(), "k73log: 3 scans written, 0 gaps, 0 scans missing\n");

  // A second run appends its header and lines.
  LogProcess headed(withArgs({"--count", "2", "-o", "run.dat"}));
  ASSERT_EQ(headed.run(), 0) << headed.err();
  const std::vector<std::string> dat = lines(readFile("run.dat"));
  ASSERT_EQ(dat.size(), 3u + 13u + 2u);
  const std::vector<std::string> header(dat.begin() + 3, dat.begin() + 16);
  EXPECT_EQ(header[0], "# k73log " K73_VERSION);
  EXPECT_TRUE(
      std::regex_match(header[1], std::regex(R"(# start \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_EQ(header[2], "# port COM1");
  EXPECT_EQ(header[3], "# baud 9600");
  EXPECT_EQ(header[4], "# bits 24");
  EXPECT_EQ(header[5], "# polarity bipolar");
  EXPECT_EQ(header[10], "# scan normal");
  EXPECT_TRUE(std::regex_match(header[11], std::regex(R"(# interval \d+\.\d{6} s)"))) << header[11];
  EXPECT_EQ(header[12], "# columns ch0.0_mV ch1.0_mV ch4.0_mV ch5.0_mV ch5.1_mV ch5.2_mV ch5.3_mV");
  EXPECT_EQ(dat[16] + "\n", lines(consoleFile)[0] + "\n");
  const double intervalS = std::strtod(header[11].c_str() + 11, nullptr);
  runPython("--dat run.dat --rows 5 --columns 7");

  // csv: the column row, then times and values.
  LogProcess csv(withArgs({"--count", "3", "-o", "run.csv"}));
  ASSERT_EQ(csv.run(), 0) << csv.err();
  const std::vector<std::string> rows = lines(readFile("run.csv"));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], "time_utc,t_s," + kColumns);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_TRUE(
        std::regex_search(rows[i], std::regex(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,)")));
    const std::vector<double> values = numbersAfterTime(rows[i]);
    ASSERT_EQ(values.size(), 8u) << rows[i];
    EXPECT_NEAR(values[0], (i - 1) * intervalS, 1e-6);
    for (size_t p = 0; p < kInputsMv.size(); ++p) EXPECT_NEAR(values[p + 1], kInputsMv[p], 0.001);
  }

  // jsonl until SIGTERM: the run object, whole scan lines, the stop sent.
  LogProcess jsonl(withArgs({"-o", "run.jsonl"}));
  ASSERT_TRUE(jsonl.start());
  ASSERT_TRUE(waitUntil([] { return lines(readFile("run.jsonl")).size() >= 3; }, 30000));
  jsonl.signal(SIGTERM);
  ASSERT_EQ(jsonl.wait(20000), 0) << jsonl.err();
  const std::string text = readFile("run.jsonl");
  ASSERT_EQ(text.back(), '\n');
  const std::vector<std::string> objects = lines(text);
  EXPECT_EQ(objects[0].rfind("{\"run\": {\"version\": \"" K73_VERSION "\"", 0), 0u) << objects[0];
  for (size_t i = 1; i < objects.size(); ++i) {
    EXPECT_TRUE(std::regex_match(
        objects[i],
        std::regex(
            R"(\{"time_utc": "[^"]+Z", "t_s": [0-9.]+(, "ch\d\.\d+_mV": -?[0-9]+\.[0-9]{3}){7}\})")))
        << objects[i];
    EXPECT_NE(objects[i].find("\"ch0.0_mV\": 1234.500"), std::string::npos);
  }
  const std::string report = readFile("report.txt");
  const size_t lastStart = report.rfind("scan start");
  ASSERT_NE(lastStart, std::string::npos) << report;
  EXPECT_NE(report.find("scan stop", lastStart), std::string::npos);
}

TEST(K73logProgram, SimulatorKilledAndStartedAgainGivesOneGapMarkAndRightValues) {
  k73test::SimProcess sim(k73test::binPath("k73sim"), kSimArgs);
  ASSERT_TRUE(sim.start()) << sim.log();
  LogProcess log(withArgs({"-o", "run.csv"}));
  ASSERT_TRUE(log.start());
  auto rows = [] { return lines(readFile("run.csv")); };
  ASSERT_TRUE(waitUntil([&] { return rows().size() >= 4; }, 30000)) << log.err();
  ASSERT_TRUE(sim.stop());
  sleepMs(1500);
  ASSERT_TRUE(sim.start()) << sim.log();
  auto rowsAfterGap = [&] {
    const std::vector<std::string> r = rows();
    for (size_t i = 0; i < r.size(); ++i)
      if (r[i][0] == '#') return r.size() - i - 1;
    return size_t(0);
  };
  ASSERT_TRUE(waitUntil([&] { return rowsAfterGap() >= 3; }, 90000)) << log.err();
  log.signal(SIGTERM);
  ASSERT_EQ(log.wait(20000), 0) << log.err();

  const std::vector<std::string> r = rows();
  std::vector<size_t> marks;
  for (size_t i = 1; i < r.size(); ++i)
    if (r[i][0] == '#') marks.push_back(i);
  ASSERT_EQ(marks.size(), 1u) << readFile("run.csv");
  const size_t gap = marks[0];
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(r[gap], m, std::regex(R"(# gap from (\S+) to (\S+), (\d+) scans missing)")))
      << r[gap];
  EXPECT_EQ(m[1].str(), r[gap - 1].substr(0, r[gap - 1].find(',')));
  EXPECT_EQ(m[2].str(), r[gap + 1].substr(0, r[gap + 1].find(',')));
  const double intervalS = numbersAfterTime(r[2])[0];
  const double jump =
      (numbersAfterTime(r[gap + 1])[0] - numbersAfterTime(r[gap - 1])[0]) / intervalS;
  EXPECT_NEAR(jump - 1, std::stod(m[3].str()), 1e-6);
  for (size_t i = 1; i < r.size(); ++i) {
    if (i == gap) continue;
    const std::vector<double> values = numbersAfterTime(r[i]);
    ASSERT_EQ(values.size(), 8u) << r[i];
    for (size_t p = 0; p < kInputsMv.size(); ++p) EXPECT_NEAR(values[p + 1], kInputsMv[p], 0.001);
  }
  EXPECT_NE(log.err().find(", 1 gaps, " + m[3].str() + " scans missing"), std::string::npos)
      << log.err();
  runPython("--csv run.csv --rows " + std::to_string(r.size() - 2) + " --columns 7");
}

TEST(K73logProgram, UsageErrorsExitTwoWithOneLineAndAnUnwritableLogExitsOne) {
  k73test::SimProcess sim(k73test::binPath("k73sim"), kSimArgs);
  ASSERT_TRUE(sim.start()) << sim.log();
  {
    std::FILE* old = std::fopen("old.csv", "w");
    std::fputs("time_utc,t_s,ch1.0_mV\n", old);
    std::fclose(old);
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"--channels", "6"}, "--channels takes CH, CH:CODE or CH:FIRST-LAST"},
      {{"--channels", "0:16"}, "control codes are 0 to 15"},
      {{"--channels", "0:0-15,1:0-15,2:0-15"},
       "48 points do not fit one scan, at most 42 points at 24 bits"},
      {{"--bits", "16", "--type", "selfcal", "--channels", "0:0-15,1:0-15,2:0-15,3:0-15"},
       "at most 61 points at 16 bits"},
      {{"--filter", "50"}, "--filter takes 4, 40 or 400 (Hz), not \"50\""},
      {{"--interval"}, "--interval needs a value"},
      {{"--duration", "1e300d"}, "up to 100 years"},
      {{"-o", "."}, "-o takes a file that can be appended to"},
      {{"--settings", "missing.cfg"}, "--settings takes a readable tovset.cfg file"},
      {{"-o", "old.csv"}, "-o \"old.csv\" has the columns \"time_utc,t_s,ch1.0_mV\""},
      {{"--interval", "0.01"}, "--interval takes "},
  };
  for (const auto& [args, message] : cases) {
    LogProcess log(args);
    EXPECT_EQ(log.run(), 2) << args[0];
    const std::vector<std::string> err = lines(log.err());
    ASSERT_EQ(err.size(), 1u) << log.err();
    EXPECT_NE(err[0].find(message), std::string::npos) << err[0];
    EXPECT_EQ(log.out(), "");
  }
  EXPECT_EQ(readFile("old.csv"), "time_utc,t_s,ch1.0_mV\n");

  // A log that cannot be written ends the run as a failure, not a success.
  LogProcess full({"--count", "3", "-o", "/dev/full"});
  EXPECT_EQ(full.run(), 1);
  EXPECT_NE(full.err().find("k73log: cannot write the log\n"), std::string::npos) << full.err();
}

// SIGTERM while the log's write waits on a full pipe (a slow reader): the
// write goes on once the reader takes the bytes, and the stop is clean.
TEST(K73logProgram, SigtermWhileWritingToAFullPipeStillStopsCleanly) {
  k73test::SimProcess sim(k73test::binPath("k73sim"), kSimArgs);
  ASSERT_TRUE(sim.start()) << sim.log();
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
  const std::string program = k73test::binPath("k73log");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    dup2(open("pipe.stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    close(pipeFds[0]);
    execl(program.c_str(), program.c_str(), "--channels", "0", "--rate", "1027", "--format",
          "jsonl", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  // Until the pipe stops filling: rows come 20 a second, so k73log is then
  // inside a write that waits for room.
  auto held = [&] {
    int bytes = 0;
    return ioctl(pipeFds[0], FIONREAD, &bytes) == 0 ? bytes : -1;
  };
  int before = -1;
  ASSERT_TRUE(waitUntil(
      [&] {
        const int now = held();
        const bool still = now > 2048 && now == before;
        before = now;
        if (!still) sleepMs(950);
        return still;
      },
      60000))
      << readFile("pipe.stderr");
  kill(pid, SIGTERM);
  sleepMs(300);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile("pipe.stderr");
  EXPECT_EQ(readFile("pipe.stderr").find("cannot write"), std::string::npos)
      << readFile("pipe.stderr");
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), '\n');  // the last row whole
}

}  // namespace
}  // namespace k73logtest
