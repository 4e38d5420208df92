#include "fleet_run.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "measure.h"
#include "mosquitto_process.h"
#include "sim_process.h"

namespace bench {

namespace {

constexpr const char* kPrefix = "bench/k73";

double utcNowS() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() / 1e6;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& dir, const std::string& err) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
    const int out = open("/dev/null", O_RDWR);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out, 0), dup2(out, 1), dup2(e, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int endProcess(pid_t pid, int sig = SIGTERM) {
  if (pid <= 0) return -1;
  kill(pid, sig);
  int status = 0;
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    sleepS(0.05);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return status;
}

// The benchmark's broker: a subscriber that falls behind is never cut off.
class Broker : public k73test::MosquittoProcess {
 public:
  explicit Broker(const std::string& dir) : MosquittoProcess(dir, "max_queued_messages 0\n") {}
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port()) + "/" + kPrefix; }
};

// A persistent subscriber on PREFIX/+/scans: (id, seq) taken, and the delay
// from each scan's time_utc to its arrival.
class Subscriber {
 public:
  explicit Subscriber(int port) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new("k73bench-subscriber", false, this);
    mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void*, int rc) {
      if (rc == 0) mosquitto_subscribe(m, nullptr, "bench/k73/+/scans", 1);
    });
    mosquitto_message_callback_set(mosq_, onMessage);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
  }
  ~Subscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
  }
  size_t count(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_);
    return seqs_[id].size();
  }
  std::set<long long> seqs(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_);
    return seqs_[id];
  }
  std::vector<double> takeDelaysMs() {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<double> out;
    out.swap(delaysMs_);
    return out;
  }

 private:
  static void onMessage(mosquitto*, void* self, const mosquitto_message* msg) {
    const double arrived = utcNowS();
    auto* s = static_cast<Subscriber*>(self);
    std::string topic = msg->topic;
    topic.erase(topic.rfind('/'));
    const std::string id = topic.substr(topic.rfind('/') + 1);
    const std::string payload(static_cast<const char*>(msg->payload), msg->payloadlen);
    std::lock_guard<std::mutex> lock(s->m_);
    for (size_t at = payload.find("{\"seq\": "); at != std::string::npos;
         at = payload.find("{\"seq\": ", at + 1)) {
      s->seqs_[id].insert(std::atoll(payload.c_str() + at + 8));
      int y, mo, d, h, mi;
      double sec;
      const size_t t = payload.find("\"time_utc\": \"", at);
      if (t != std::string::npos && std::sscanf(payload.c_str() + t + 13, "%d-%d-%dT%d:%d:%lfZ", &y,
                                                &mo, &d, &h, &mi, &sec) == 6) {
        std::tm tm{};
        tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi;
        const double scanUtc = static_cast<double>(timegm(&tm)) + sec;
        s->delaysMs_.push_back((arrived - scanUtc) * 1000);
      }
    }
  }

  mosquitto* mosq_;
  std::mutex m_;
  std::map<std::string, std::set<long long>> seqs_;
  std::vector<double> delaysMs_;
};

// Every seq the logger gave out: 1 to the highest in the spool or, once the
// spool has started afresh, the acknowledged one.
std::set<long long> spooled(const std::string& stateDir) {
  long long last = 0;
  std::ifstream acked(stateDir + "/acked-seq");
  acked >> last;
  std::ifstream in(stateDir + "/spool.jsonl");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("{\"seq\": ", 0) == 0) last = std::max(last, std::atoll(line.c_str() + 8));
  }
  std::set<long long> seqs;
  for (long long seq = 1; seq <= last; ++seq) seqs.insert(seqs.end(), seq);
  return seqs;
}

long residentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

struct Logger {
  pid_t pid = -1;
  std::string stateDir;
};

// One k73log at 25 scans/s (one channel at the fastest rate) in the
// simulator's directory.
Logger startLogger(const std::string& binDir, const k73test::SimProcess& sim, const Broker& b,
                   const std::string& id, const std::string& batch) {
  Logger l;
  l.stateDir = sim.dir() + "/state-" + id;
  l.pid = spawn({binDir + "/k73log", "--channels", "0", "--rate", "1027", "-o", "/dev/null",
                 "--mqtt", b.url(), "--id", id, "--state-dir", l.stateDir, "--mqtt-batch", batch},
                sim.dir(), sim.dir() + "/" + id + ".stderr");
  return l;
}

bool waitFor(const std::function<bool()>& done, double seconds) {
  const double until = nowS() + seconds;
  while (!done()) {
    if (nowS() > until) return false;
    sleepS(0.05);
  }
  return true;
}

Verdict verdict(bool pass) {
  return pass ? Verdict::Pass : Verdict::Fail;
}

}  // namespace

void addFleetRows(Table& t, const std::string& binDir) {
  const char* shortRun = std::getenv("BENCH_FLEET_SHORT");
  const bool brief = shortRun && std::strcmp(shortRun, "1") == 0;
  const double catchUpOutageS = brief ? 10 : 60;
  const double longOutageS = brief ? 30 : 600;
  const double latencyRunS = brief ? 10 : 30;

  k73test::SimProcess sim(binDir + "/k73sim", {"--quiet"});
  if (!sim.start()) {
    t.add({"k73log publishing to MQTT", "k73sim did not start", "", "", "", Verdict::NotMeasured});
    return;
  }
  Broker broker(sim.dir());
  if (!broker.start()) {
    t.add(
        {"k73log publishing to MQTT", "mosquitto did not start", "", "", "", Verdict::NotMeasured});
    return;
  }
  auto sub = std::make_unique<Subscriber>(broker.port());

  // CPU with the default batches, beside the same logger not publishing.
  auto cpuOf = [&](std::vector<std::string> extra, const std::string& name) {
    std::vector<std::string> args = {binDir + "/k73log", "--channels", "0", "--rate", "1027", "-o",
                                     name + ".csv"};
    args.insert(args.end(), extra.begin(), extra.end());
    const pid_t pid = spawn(args, sim.dir(), sim.dir() + "/" + name + ".stderr");
    const std::string csv = sim.dir() + "/" + name + ".csv";
    waitFor(
        [&] {
          std::ifstream in(csv);
          int lines = 0;
          for (std::string line; std::getline(in, line) && lines < 3;) ++lines;
          return lines >= 3;
        },
        60);
    ProcessCpuMeter meter(pid);
    sleepS(latencyRunS);
    meter.stop();
    endProcess(pid);
    return meter.share();
  };
  const double plainCpu = cpuOf({}, "plain");
  const double publishingCpu =
      cpuOf({"--mqtt", broker.url(), "--id", "cpu", "--state-dir", sim.dir() + "/state-cpu"},
            "publishing");
  t.add({"CPU of k73log publishing at 25 scans/s (batches of 25) vs not publishing",
         fixed(publishingCpu * 100, 2) + " % vs " + fixed(plainCpu * 100, 2) + " %", "1 %",
         ratioText(publishingCpu, 0.01), "< 1 % of a core", verdict(publishingCpu < 0.01)});

  // Latency, every scan its own message.
  Logger one = startLogger(binDir, sim, broker, "lat", "1");
  if (!waitFor([&] { return sub->count("lat") >= 25; }, 60)) {
    endProcess(one.pid);
    t.add({"k73log publishing to MQTT", "no scans arrived", "", "", "", Verdict::NotMeasured});
    return;
  }
  sub->takeDelaysMs();
  ProcessCpuMeter cpu(one.pid);
  sleepS(latencyRunS);
  cpu.stop();
  const std::vector<double> delays = sub->takeDelaysMs();
  const double p50 = quantile(delays, 0.5), p99 = quantile(delays, 0.99);
  t.add(
      {"Scan to subscriber through mosquitto on loopback, batching off (p50 / p99)",
       fixed(p50, 1) + " / " + fixed(p99, 1) + " ms (" + std::to_string(delays.size()) + " scans)",
       "100 ms", ratioText(p99, 100), "p99 < 100 ms", verdict(p99 < 100 && !delays.empty())});
  t.add({"CPU of k73log publishing at 25 scans/s, one message a scan",
         fixed(cpu.share() * 100, 2) + " %", "", "", "", Verdict::Info});

  // Catch-up: the broker away for a minute, then back.
  broker.stop();
  sleepS(catchUpOutageS);
  const long long spooledAtReturn = static_cast<long long>(spooled(one.stateDir).size());
  const double back = nowS();
  broker.start();
  const bool caughtUp = waitFor(
      [&] {
        const std::set<long long> got = sub->seqs("lat");
        return !got.empty() && *got.rbegin() >= spooledAtReturn &&
               static_cast<long long>(got.size()) >= spooledAtReturn;
      },
      120);
  const double catchUpS = nowS() - back;
  t.add({"Catch-up after a " + fixed(catchUpOutageS, 0) + " s broker outage at 25 scans/s",
         caughtUp ? fixed(catchUpS, 1) + " s for " + std::to_string(spooledAtReturn) + " scans"
                  : "not caught up in 120 s",
         "10 s", ratioText(catchUpS, 10), "within 10 s, none lost",
         verdict(caughtUp && catchUpS <= 10)});

  // Memory through a long outage: the backlog waits on disk, not in memory.
  const long before = residentKiB(one.pid);
  broker.stop();
  sleepS(longOutageS);
  const long after = residentKiB(one.pid);
  broker.start();
  t.add({"k73log resident memory before / after a " + fixed(longOutageS, 0) + " s outage",
         std::to_string(before) + " / " + std::to_string(after) + " KiB", "1024 KiB growth",
         ratioText(double(after - before), 1024), "growth <= 1 MiB",
         verdict(before > 0 && after > 0 && after - before <= 1024)});
  const int status = endProcess(one.pid);
  const std::set<long long> want = spooled(one.stateDir);
  waitFor([&] { return sub->seqs("lat") == want; }, 30);
  const bool noneLost = sub->seqs("lat") == want && WIFEXITED(status);
  t.add({"Scans through both outages, received / given a seq",
         std::to_string(sub->seqs("lat").size()) + " / " + std::to_string(want.size()), "", "",
         "equal sets", verdict(noneLost)});

  // Eight loggers, eight simulators, one broker.
  std::vector<std::unique_ptr<k73test::SimProcess>> sims;
  std::vector<Logger> loggers;
  for (int i = 0; i < 8; ++i) {
    sims.push_back(std::make_unique<k73test::SimProcess>(binDir + "/k73sim",
                                                         std::vector<std::string>{"--quiet"}));
    if (!sims.back()->start()) break;
    loggers.push_back(startLogger(binDir, *sims.back(), broker, "eight" + std::to_string(i), "25"));
  }
  sleepS(brief ? 15 : 40);
  int whole = 0;
  long long scans = 0;
  for (size_t i = 0; i < loggers.size(); ++i) endProcess(loggers[i].pid);
  for (size_t i = 0; i < loggers.size(); ++i) {
    const std::string id = "eight" + std::to_string(i);
    const std::set<long long> spool = spooled(loggers[i].stateDir);
    waitFor([&] { return sub->seqs(id) == spool; }, 20);
    if (!spool.empty() && sub->seqs(id) == spool) ++whole;
    scans += static_cast<long long>(spool.size());
  }
  t.add({"Eight loggers (eight simulators) into one broker: loggers with none lost",
         std::to_string(whole) + " of 8 (" + std::to_string(scans) + " scans)", "8",
         ratioText(whole, 8), "8 of 8", verdict(whole == 8)});
  t.note(std::string("k73log publishing: one channel at 1027 conversions/s (25 scans/s) to a "
                     "mosquitto on 127.0.0.1 with persistence; latency from each scan's time_utc "
                     "(host clock, ms) to its arrival at a persistent subscriber; outages ") +
         fixed(catchUpOutageS, 0) + " s and " + fixed(longOutageS, 0) +
         " s (BENCH_FLEET_SHORT=1 shortens them).");
}

}  // namespace bench
