#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config_file.h"

#include "tovscan.h"

namespace k73log {

namespace {

enum LongOnly {
  kPort = 256,
  kChannels,
  kType,
  kInterval,
  kCount,
  kDuration,
  kBaud,
  kBits,
  kBipolar,
  kUnipolar,
  kGain,
  kFilter,
  kRate,
  kAverage,
  kSettings,
  kFormat,
  kNoHeader,
  kNoReconnect,
  kVersion,
  kPublish,  // publishing and service options, taken by their names
};

const option kLongOptions[] = {
    {"port", required_argument, nullptr, kPort},
    {"channels", required_argument, nullptr, kChannels},
    {"type", required_argument, nullptr, kType},
    {"interval", required_argument, nullptr, kInterval},
    {"count", required_argument, nullptr, kCount},
    {"duration", required_argument, nullptr, kDuration},
    {"baud", required_argument, nullptr, kBaud},
    {"bits", required_argument, nullptr, kBits},
    {"bipolar", no_argument, nullptr, kBipolar},
    {"unipolar", no_argument, nullptr, kUnipolar},
    {"gain", required_argument, nullptr, kGain},
    {"filter", required_argument, nullptr, kFilter},
    {"rate", required_argument, nullptr, kRate},
    {"average", required_argument, nullptr, kAverage},
    {"settings", required_argument, nullptr, kSettings},
    {"format", required_argument, nullptr, kFormat},
    {"output", required_argument, nullptr, 'o'},
    {"no-header", no_argument, nullptr, kNoHeader},
    {"no-reconnect", no_argument, nullptr, kNoReconnect},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"mqtt", required_argument, nullptr, kPublish},
    {"id", required_argument, nullptr, kPublish},
    {"state-dir", required_argument, nullptr, kPublish},
    {"mqtt-batch", required_argument, nullptr, kPublish},
    {"mqtt-drain", required_argument, nullptr, kPublish},
    {"mqtt-keepalive", required_argument, nullptr, kPublish},
    {"mqtt-ca", required_argument, nullptr, kPublish},
    {"mqtt-password-file", required_argument, nullptr, kPublish},
    {"mqtt-format", required_argument, nullptr, kPublish},
    {"device", required_argument, nullptr, kPublish},
    {"wait-for-converter", no_argument, nullptr, kPublish},
    {nullptr, 0, nullptr, 0},
};

bool parseWhole(const char* text, int64_t lo, int64_t hi, int64_t* out) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parseReal(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (end == text || errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

// "30s", "15m", "8h", "2d" or plain seconds.
bool parseDuration(const char* text, double* seconds) {
  std::string number = text;
  double unit = 1;
  if (!number.empty()) {
    switch (number.back()) {
      case 's':
        number.pop_back();
        break;
      case 'm':
        unit = 60, number.pop_back();
        break;
      case 'h':
        unit = 3600, number.pop_back();
        break;
      case 'd':
        unit = 86400, number.pop_back();
        break;
      default:
        break;
    }
  }
  double value = 0;
  if (!parseReal(number.c_str(), &value) || value <= 0) return false;
  // A run's end is kept in milliseconds: a hundred years is far beyond any
  // run and far inside what the count of milliseconds can hold.
  constexpr double kLongestS = 100 * 365.25 * 86400;
  if (!(value * unit <= kLongestS)) return false;
  *seconds = value * unit;
  return true;
}

bool parsePort(const char* text, int* comNumber) {
  int64_t n = 0;
  if (std::strncmp(text, "COM", 3) != 0 || !parseWhole(text + 3, 1, 255, &n)) return false;
  *comNumber = static_cast<int>(n);
  return true;
}

bool parseFormat(const char* text, Format* format) {
  if (std::strcmp(text, "dat") == 0) return *format = Format::Dat, true;
  if (std::strcmp(text, "csv") == 0) return *format = Format::Csv, true;
  if (std::strcmp(text, "jsonl") == 0) return *format = Format::Jsonl, true;
  return false;
}

Format formatOfFileName(const std::string& name) {
  auto endsWith = [&](const char* ext) {
    const size_t n = std::strlen(ext);
    return name.size() > n && name.compare(name.size() - n, n, ext) == 0;
  };
  if (endsWith(".csv")) return Format::Csv;
  if (endsWith(".jsonl")) return Format::Jsonl;
  return Format::Dat;
}

// One option's value into opts; false with the one-line reason.
bool takeOption(int id, const char* arg, LogOptions* opts, bool* formatGiven, std::string* error) {
  int64_t n = 0;
  auto refuse = [&](const char* accepts) {
    *error = std::string(accepts) + ", not \"" + arg + "\"";
    return false;
  };
  switch (id) {
    case kPort:
      return parsePort(arg, &opts->comNumber) || refuse("--port takes COM1 to COM255");
    case kChannels: {
      std::string why;
      if (!parseChannelList(arg, &opts->channels, &why)) {
        *error = "--channels takes CH, CH:CODE or CH:FIRST-LAST, comma-separated: " + why;
        return false;
      }
      opts->channelsGiven = true;
      return true;
    }
    case kType:
      if (std::strcmp(arg, "single") == 0) return opts->scanType = 0, true;
      if (std::strcmp(arg, "normal") == 0) return opts->scanType = 1, true;
      if (std::strcmp(arg, "selfcal") == 0) return opts->scanType = 2, true;
      return refuse("--type takes normal, selfcal or single");
    case kInterval:
      return (parseReal(arg, &opts->interval) && opts->interval > 0) ||
             refuse("--interval takes seconds above 0");
    case kCount:
      return parseWhole(arg, 1, INT64_MAX, &opts->count) ||
             refuse("--count takes a number of scans, 1 or more");
    case kDuration:
      return parseDuration(arg, &opts->durationS) ||
             refuse("--duration takes a time such as 30s, 15m or 8h, up to 100 years");
    case kBaud:
      for (int i = 0; tovBaudRate(i) > 0; ++i) {
        if (parseWhole(arg, 300, 9600, &n) && n == tovBaudRate(i)) return opts->baudIndex = i, true;
      }
      return refuse("--baud takes 9600, 4800, 2400, 1200, 600 or 300");
    case kBits:
      if (std::strcmp(arg, "24") == 0) return opts->bytesPerConversion = 3, true;
      if (std::strcmp(arg, "16") == 0) return opts->bytesPerConversion = 2, true;
      return refuse("--bits takes 24 or 16");
    case kGain:
      if (parseWhole(arg, 1, 128, &n) && (n & (n - 1)) == 0) return opts->gain = int(n), true;
      return refuse("--gain takes 1, 2, 4, 8, 16, 32, 64 or 128");
    case kFilter:
      if (std::strcmp(arg, "4") == 0) return opts->filter = 0, true;
      if (std::strcmp(arg, "40") == 0) return opts->filter = 1, true;
      if (std::strcmp(arg, "400") == 0) return opts->filter = 2, true;
      return refuse("--filter takes 4, 40 or 400 (Hz)");
    case kRate:
      return (parseReal(arg, &opts->rate) && opts->rate >= 10 && opts->rate <= 1027) ||
             refuse("--rate takes 10 to 1027 (conversions per second)");
    case kAverage:
      if (parseWhole(arg, 1, 128, &n) && tovAveragingOffered(static_cast<uint32_t>(n))) {
        return opts->average = int(n), true;
      }
      return refuse("--average takes 1, 2, 4, 8, 16, 32, 64 or 128");
    case kSettings:
      opts->settingsFile = arg;
      return true;
    case kFormat:
      *formatGiven = true;
      return parseFormat(arg, &opts->format) || refuse("--format takes dat, csv or jsonl");
    case 'o':
      if (*arg == '\0') return refuse("-o takes a file name or - for standard output");
      opts->output = arg;
      return true;
    default:
      return true;
  }
}

}  // namespace

Command parseOptions(int givenArgc, char** givenArgv, LogOptions* opts, std::string* error) {
  // Options from --config files first, the command line's on top.
  std::vector<std::string> args(givenArgv, givenArgv + givenArgc);
  auto takesValue = [](const std::string& name) {
    for (const option* o = kLongOptions; o->name; ++o) {
      if (name == o->name) return o->has_arg != no_argument;
    }
    return true;  // unknown: getopt names it below
  };
  std::vector<std::string> expanded;
  if (!expandConfigFiles(args, takesValue, &expanded, error)) return Command::UsageError;
  std::vector<char*> argvExpanded;
  for (std::string& arg : expanded) argvExpanded.push_back(arg.data());
  argvExpanded.push_back(nullptr);
  const int argc = static_cast<int>(expanded.size());
  char** argv = argvExpanded.data();
  bool formatGiven = false;
  opterr = 0;  // the messages below say what each option accepts
  optind = 1;
  for (;;) {
    const int previous = optind;
    int longIndex = 0;
    const int id = getopt_long(argc, argv, ":o:qvh", kLongOptions, &longIndex);
    if (id == -1) break;
    const char* given = argv[previous < argc ? previous : argc - 1];
    switch (id) {
      case 'h':
        return Command::Help;
      case kVersion:
        return Command::Version;
      case 'q':
        opts->quiet = true;
        break;
      case 'v':
        opts->verbose = true;
        break;
      case kBipolar:
        opts->bipolar = 1;
        break;
      case kUnipolar:
        opts->bipolar = 0;
        break;
      case kNoHeader:
        opts->noHeader = true;
        break;
      case kNoReconnect:
        opts->noReconnect = true;
        break;
      case ':':
        *error = std::string(given) + " needs a value (see k73log --help)";
        return Command::UsageError;
      case kPublish:
        if (!takePublishOption(kLongOptions[longIndex].name, optarg ? optarg : "", &opts->publish,
                               error)) {
          return Command::UsageError;
        }
        break;
      case '?':
        *error = std::string("unknown option ") + given + " (see k73log --help)";
        return Command::UsageError;
      default:
        if (!takeOption(id, optarg, opts, &formatGiven, error)) return Command::UsageError;
        break;
    }
  }
  if (optind < argc) {
    *error = std::string("unexpected argument \"") + argv[optind] + "\" (see k73log --help)";
    return Command::UsageError;
  }
  if (opts->count > 0 && opts->durationS > 0) {
    *error = "--count and --duration cannot both be given";
    return Command::UsageError;
  }
  if (!formatGiven) opts->format = formatOfFileName(opts->output);
  return Command::Run;
}

const char* formatName(Format format) {
  switch (format) {
    case Format::Csv:
      return "csv";
    case Format::Jsonl:
      return "jsonl";
    default:
      return "dat";
  }
}

}  // namespace k73log
