#include "measure.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double nowS() {
  return double(nowNs()) / 1e9;
}

void sleepS(double seconds) {
  if (seconds <= 0) return;
  timespec ts{time_t(seconds), long(std::fmod(seconds, 1.0) * 1e9)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

double threadCpuS() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double processCpuS(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return -1;
  // The command name may hold spaces; the fields after it do not.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long peakResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

namespace {

// Busy seconds of all CPUs together since boot: everything but idle and
// iowait (guest time is already within user).
double machineBusyS() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                     steal = 0;
  if (!(in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) ||
      cpu != "cpu")
    return -1;
  return double(user + nice + system + irq + softirq + steal) / double(sysconf(_SC_CLK_TCK));
}

std::string share(double s) {
  if (s < 0) return "unknown";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%", s * 100);
  return text;
}

}  // namespace

double otherProcessesCpuShare(double seconds) {
  const double busy0 = machineBusyS(), own0 = processCpuS(getpid()), wall0 = nowS();
  sleepS(seconds);
  const double busy1 = machineBusyS(), own1 = processCpuS(getpid()), wall1 = nowS();
  if (busy0 < 0 || busy1 < 0 || own0 < 0 || own1 < 0 || wall1 <= wall0) return -1;
  return std::max(0.0, (busy1 - busy0) - (own1 - own0)) / (wall1 - wall0);
}

std::string MachineLoad::describe() const {
  std::string line = "Other processes: " + share(before) +
                     " of a core in the second before the run, " + share(after) +
                     " in the second after";
  if (loaded())
    return line + ": LOADED (over " + share(kLoadedShare) +
           "); figures marked (loaded) may be slower or costlier than on an idle machine";
  if (before < 0 || after < 0) return line + ": the load is unknown";
  return line + ": idle";
}

CpuMeter::CpuMeter() : wall0_(nowS()), cpu0_(threadCpuS()) {}

void CpuMeter::stop() {
  wall_ = nowS() - wall0_;
  cpu_ = threadCpuS() - cpu0_;
}

ProcessCpuMeter::ProcessCpuMeter(pid_t pid) : pid_(pid), wall0_(nowS()), cpu0_(processCpuS(pid)) {}

void ProcessCpuMeter::stop() {
  wall_ = nowS() - wall0_;
  cpu_ = processCpuS(pid_) - cpu0_;
}

double quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const double rank = std::ceil(q * double(samples.size()));
  const size_t index = rank < 1 ? 0 : std::min(samples.size() - 1, size_t(rank) - 1);
  return samples[index];
}

pid_t findProcess(const std::string& comm, const std::string& cwd) {
  DIR* proc = opendir("/proc");
  if (!proc) return -1;
  pid_t found = -1;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end || pid <= 0) continue;
    const std::string base = std::string("/proc/") + entry->d_name;
    std::ifstream commFile(base + "/comm");
    std::string name;
    if (!std::getline(commFile, name) || name != comm) continue;
    char link[PATH_MAX];
    const ssize_t n = readlink((base + "/cwd").c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = 0;
    if (cwd == link) {
      found = pid_t(pid);
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace bench
