// The publishing pieces on their own: the broker URL, the config file, the
// spool across a crash, the influx line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "config_file.h"
#include "options.h"
#include "payload.h"
#include "spool.h"

namespace k73log {
namespace {

TEST(BrokerUrl, TakesUserPasswordHostPortAndPrefix) {
  BrokerUrl url;
  std::string error;
  ASSERT_TRUE(parseBrokerUrl("mqtt://k73:s3:cret@broker.lab:1884/lab/k73/", &url, &error));
  EXPECT_EQ(url.user, "k73");
  EXPECT_EQ(url.password, "s3:cret");
  EXPECT_EQ(url.host, "broker.lab");
  EXPECT_EQ(url.port, 1884);
  EXPECT_EQ(url.prefix, "lab/k73");
  ASSERT_TRUE(parseBrokerUrl("mqtts://[::1]/p", &url, &error));
  EXPECT_TRUE(url.tls);
  EXPECT_EQ(url.host, "::1");
  EXPECT_EQ(url.port, 8883);
  for (const char* bad : {"mqtt://h", "mqtt://h/", "tcp://h/p", "mqtt://h:0/p", "mqtt://:1/p",
                          "mqtt://h/a/#", "mqtt://h//p", "mqtt://@h/p", "mqtt://[::1/p"}) {
    EXPECT_FALSE(parseBrokerUrl(bad, &url, &error)) << bad;
    EXPECT_NE(error.find("--mqtt takes"), std::string::npos);
  }
}

struct TempDir {
  TempDir() {
    char name[] = "/tmp/k73fleetXXXXXX";
    path = mkdtemp(name);
  }
  ~TempDir() { std::system(("rm -rf " + path).c_str()); }
  std::string path;
};

TEST(ConfigFile, FileOptionsFirstCommandLineOnTop) {
  TempDir dir;
  const std::string file = dir.path + "/bench3.conf";
  std::ofstream(file) << "# bench 3\nmqtt = mqtt://b/lab  # the broker\ncount = 50\n"
                         "bipolar = true\nno-header = false\nid = bench3\n";
  std::vector<std::string> args = {"k73log", "--config", file, "--count", "5"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  LogOptions opts;
  std::string error;
  ASSERT_EQ(parseOptions(int(argv.size()), argv.data(), &opts, &error), Command::Run) << error;
  EXPECT_EQ(opts.count, 5);
  EXPECT_EQ(opts.bipolar, 1);
  EXPECT_FALSE(opts.noHeader);
  EXPECT_EQ(opts.publish.id, "bench3");
  EXPECT_EQ(opts.publish.broker.prefix, "lab");

  std::ofstream(file) << "count = 50\nbipolar\n";
  LogOptions again;
  EXPECT_EQ(parseOptions(int(argv.size()), argv.data(), &again, &error), Command::UsageError);
  EXPECT_EQ(error, file + ":2: a line is \"name = value\", not \"bipolar\"");
}

TEST(Spool, SeqCarriesOnAndACutLineGoesAfterACrash) {
  TempDir dir;
  std::string error;
  {
    Spool spool;
    ASSERT_TRUE(spool.open(dir.path, &error)) << error;
    for (int i = 1; i <= 3; ++i) {
      ASSERT_EQ(spool.nextSeq(), i);
      ASSERT_TRUE(spool.append("{\"seq\": " + std::to_string(i) + ", \"t_s\": 1}", &error));
    }
    ASSERT_TRUE(spool.acknowledge(2, &error));
    Spool second;
    EXPECT_FALSE(second.open(dir.path, &error));  // one logger per state directory
  }
  std::ofstream(dir.path + "/spool.jsonl", std::ios::app) << "{\"seq\": 4, \"t_";  // the crash
  Spool spool;
  ASSERT_TRUE(spool.open(dir.path, &error)) << error;
  EXPECT_EQ(spool.lastSeq(), 3);
  EXPECT_EQ(spool.ackedSeq(), 2);
  std::vector<std::string> lines;
  int64_t last = 0;
  spool.readAfter(spool.ackedSeq(), 10, &lines, &last);
  ASSERT_EQ(lines, std::vector<std::string>{"{\"seq\": 3, \"t_s\": 1}"});
  EXPECT_EQ(spool.nextSeq(), 4);
  ASSERT_TRUE(spool.append("{\"seq\": 4, \"t_s\": 2}", &error));
  spool.readAfter(last, 10, &lines, &last);
  EXPECT_EQ(lines, std::vector<std::string>{"{\"seq\": 4, \"t_s\": 2}"});
}

// A broker further away than one scan interval acknowledges while the next
// scans are already spooled: the spool never holds "nothing unacknowledged",
// yet must not grow without bound.
TEST(Spool, StaysSmallWhenTheBrokerIsAlwaysBehind) {
  TempDir dir;
  std::string error;
  const std::string pad(4000, 'x');
  {
    Spool spool;
    ASSERT_TRUE(spool.open(dir.path, &error)) << error;
    std::vector<std::string> lines;
    int64_t sent = 0;
    for (int i = 1; i <= 1500; ++i) {
      ASSERT_TRUE(
          spool.append("{\"seq\": " + std::to_string(i) + ", \"p\": \"" + pad + "\"}", &error));
      spool.readAfter(sent, 10, &lines, &sent);
      ASSERT_EQ(lines.size(), 1u);
      ASSERT_EQ(seqOfLine(lines[0]), i);
      if (i % 10 == 0) {
        ASSERT_TRUE(spool.acknowledge(i - 1, &error)) << error;
      }
    }
    std::ifstream file(spool.path(), std::ios::ate);
    EXPECT_LT(file.tellg(), 5 << 19);  // 6 MB written
  }
  Spool spool;
  ASSERT_TRUE(spool.open(dir.path, &error)) << error;
  EXPECT_EQ(spool.lastSeq(), 1500);
  std::vector<std::string> lines;
  int64_t last = 0;
  spool.readAfter(spool.ackedSeq(), 10, &lines, &last);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(seqOfLine(lines[0]), 1500);
}

TEST(Payload, InfluxLineHasEveryColumnSeqAndNanoseconds) {
  const std::vector<std::string> lines = {
      "{\"seq\": 7, \"time_utc\": \"2026-12-08T07:01:02.345Z\", \"t_s\": 0.040000, "
      "\"ch0.0_mV\": 1234.500, \"ch5.3_mV\": -1.000}"};
  EXPECT_EQ(influxPayload(lines, "bench 3"),
            "k73,logger=bench\\ 3 t_s=0.040000,ch0.0_mV=1234.500,ch5.3_mV=-1.000,seq=7i "
            "1796713262345000000");
  EXPECT_EQ(jsonPayload({"{\"seq\": 1}", "{\"seq\": 2}"}), "[{\"seq\": 1},{\"seq\": 2}]");
}

}  // namespace
}  // namespace k73log
