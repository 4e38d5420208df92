#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace k73 {
namespace {

bool parseLong(const std::string& s, long lo, long hi, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 0);
  if (errno || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parseDouble(const std::string& s, double* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (errno || *end) return false;
  *out = v;
  return true;
}

// CH[.SUB]=MV: one sub-channel, or every sub-channel of the channel.
bool parseInput(const std::string& arg, Model* model) {
  const size_t eq = arg.find('=');
  if (eq == std::string::npos) return false;
  const std::string where = arg.substr(0, eq);
  const size_t dot = where.find('.');
  long channel = 0, sub = -1;
  double mv = 0;
  if (!parseLong(where.substr(0, dot), 0, 7, &channel)) return false;
  if (dot != std::string::npos && !parseLong(where.substr(dot + 1), 0, 15, &sub)) return false;
  if (!parseDouble(arg.substr(eq + 1), &mv)) return false;
  for (int s = 0; s < 16; ++s) {
    if (sub < 0 || s == sub) model->inputMv[channel][s] = mv;
  }
  if (channel == model->waveChannel && (sub < 0 || sub == model->waveSubChannel)) {
    model->waveChannel = -1;  // a set input is steady
  }
  return true;
}

bool parseMisbehaviour(const std::string& arg, Misbehaviour* m) {
  const size_t eq = arg.find('=');
  const std::string name = arg.substr(0, eq);
  const bool hasValue = eq != std::string::npos;
  long n = 0;
  if (hasValue && !parseLong(arg.substr(eq + 1), 0, 1 << 30, &n)) return false;
  struct Flag {
    const char* name;
    bool* flag;
  };
  const Flag flags[] = {{"silent", &m->silent},
                        {"no-handshake", &m->noHandshake},
                        {"quiet-noise", &m->noiseInQuietPeriod},
                        {"answer-sleep-byte", &m->answerSleepByte},
                        {"wrong-baud-echo", &m->wrongBaudEcho},
                        {"no-baud-echo", &m->noBaudEcho},
                        {"wrong-mode-echo", &m->wrongModeEcho},
                        {"no-stop-byte", &m->noStopByte},
                        {"bad-start-marker", &m->badStartMarker},
                        {"bad-end-marker", &m->badEndMarker}};
  for (const Flag& f : flags) {
    if (name == f.name) {
      if (hasValue) return false;
      *f.flag = true;
      return true;
    }
  }
  struct Count {
    const char* name;
    int* value;
    long fallback;  // when no =N is given; -1: a value is required
  };
  const Count counts[] = {{"wrong-echo", &m->wrongEcho, -1},
                          {"short-reply", &m->shortReply, 1},
                          {"stop-after-scans", &m->stopAfterScans, -1},
                          {"cut-scan", &m->cutScanAfterBytes, -1},
                          {"drop-every", &m->dropByteEvery, -1},
                          {"double-every", &m->doubleByteEvery, -1},
                          {"noise-burst", &m->noiseBurstAfterBytes, 0}};
  for (const Count& c : counts) {
    if (name != c.name) continue;
    if (!hasValue && c.fallback < 0) return false;
    *c.value = int(hasValue ? n : c.fallback);
    return true;
  }
  if (name == "stop-after-rate-byte") {
    m->stopAfterRateByte = true;
    m->stopAfterScans = int(hasValue ? n : 0);
    return true;
  }
  if (name == "mode-echo-high-bits") {
    if (hasValue && n > 255) return false;
    m->modeEchoHighExtraBits = uint8_t(hasValue ? n : 0xE0);
    return true;
  }
  return false;
}

}  // namespace

const char* usageText() {
  return "Usage: k73sim [options]\n"
         "Serves a simulated Model K73 converter on a pseudo-terminal, linked as\n"
         "NAME in the current directory, until SIGINT or SIGTERM.\n"
         "\n"
         "  --port NAME          link to create (default COM1); an existing file\n"
         "                       that is not a symbolic link is never replaced\n"
         "  --firmware N         version byte it reports, 0-255 (default 100)\n"
         "  --input CH[.SUB]=MV  input of channel CH (0-7), all control codes or\n"
         "                       just SUB (0-15), in millivolts (repeatable)\n"
         "  --noise MV           peak-to-peak uniform noise (default 0.05)\n"
         "  --digin N            digital-input byte, 0-255 (default 0x5A)\n"
         "  --seed N             noise seed (default 1)\n"
         "  --misbehave NAME[=N] fault to show (repeatable): silent, no-handshake,\n"
         "                       quiet-noise, answer-sleep-byte, wrong-baud-echo,\n"
         "                       no-baud-echo, wrong-mode-echo, mode-echo-high-bits[=N],\n"
         "                       wrong-echo=N, short-reply[=N], no-stop-byte,\n"
         "                       bad-start-marker, bad-end-marker, stop-after-scans=N,\n"
         "                       stop-after-rate-byte[=N], cut-scan=N, drop-every=N,\n"
         "                       double-every=N, noise-burst[=N]\n"
         "  --report FILE        append one line per packet or event received\n"
         "  --stamp-scans FIRST  each scan's values are its serial number, from FIRST\n"
         "                       on (the log then shows which scan each line is)\n"
         "  --scan-record FILE   append \"SERIAL TICK_US\" for every scan made\n"
         "  --unpaced            send as fast as the pseudo-terminal carries,\n"
         "                       with the converter's clock running ahead to match\n"
         "  --quiet              print nothing but errors\n"
         "  --help               show this text\n"
         "\n"
         "Default inputs: channel 0 1234.5 mV, 1 2500, 2 -1500, 3 4000, 4 a 2000 mV\n"
         "sine over 60 s, 5 100 mV, each control code adding 10 mV; channel 6\n"
         "(full scale) 4990 mV, channel 7 (zero) 0 mV.\n";
}

bool parseOptions(int argc, char** argv, Options* opts, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    long n = 0;
    double mv = 0;
    if (arg == "--help" || arg == "-h") {
      opts->help = true;
    } else if (arg == "--unpaced") {
      opts->unpaced = true;
    } else if (arg == "--quiet") {
      opts->quiet = true;
    } else if (arg == "--port") {
      if (!value(&v)) return false;
      if (v.empty() || v.find('/') != std::string::npos) {
        *error = "--port takes a plain name such as COM2";
        return false;
      }
      opts->port = v;
    } else if (arg == "--report") {
      if (!value(&v)) return false;
      opts->reportPath = v;
    } else if (arg == "--firmware") {
      if (!value(&v)) return false;
      if (!parseLong(v, 0, 255, &n)) return *error = "--firmware takes 0 to 255", false;
      opts->model.firmwareVersion = uint8_t(n);
    } else if (arg == "--digin") {
      if (!value(&v)) return false;
      if (!parseLong(v, 0, 255, &n)) return *error = "--digin takes 0 to 255", false;
      opts->model.digitalInputs = uint8_t(n);
    } else if (arg == "--seed") {
      if (!value(&v)) return false;
      if (!parseLong(v, 0, 0xFFFFFFFFL, &n)) return *error = "--seed takes a number", false;
      opts->model.seed = uint32_t(n);
    } else if (arg == "--noise") {
      if (!value(&v)) return false;
      if (!parseDouble(v, &mv) || mv < 0) return *error = "--noise takes millivolts >= 0", false;
      opts->model.noiseMv = mv;
    } else if (arg == "--input") {
      if (!value(&v)) return false;
      if (!parseInput(v, &opts->model)) {
        *error = "--input takes CH[.SUB]=MV with CH 0-7 and SUB 0-15, not " + v;
        return false;
      }
    } else if (arg == "--stamp-scans") {
      long n = 0;
      if (!value(&v)) return false;
      if (!parseLong(v, 0, 11'000'000, &n))
        return *error = "--stamp-scans takes 0 to 11000000", false;
      opts->model.stampScans = true;
      opts->model.firstStamp = uint64_t(n);
    } else if (arg == "--scan-record") {
      if (!value(&opts->scanRecordPath)) return false;
    } else if (arg == "--misbehave") {
      if (!value(&v)) return false;
      if (!parseMisbehaviour(v, &opts->model.misbehave)) {
        *error = "unknown misbehaviour or bad value: " + v;
        return false;
      }
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace k73
