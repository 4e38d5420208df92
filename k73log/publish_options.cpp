#include "publish_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace k73log {

namespace {

bool parseCount(const char* text, long lo, long hi, long* out) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool validId(const std::string& id) {
  if (id.empty() || id.size() > 100) return false;
  for (char c : id) {
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x21) return false;
  }
  return id != "." && id != "..";
}

}  // namespace

bool parseBrokerUrl(const std::string& text, BrokerUrl* url, std::string* error) {
  const std::string form = "--mqtt takes mqtt://[USER[:PASSWORD]@]HOST[:PORT]/PREFIX";
  auto refuse = [&](const std::string& why) {
    *error = form + ": " + why + ", not \"" + text + "\"";
    return false;
  };
  BrokerUrl parsed;
  std::string rest;
  if (text.rfind("mqtt://", 0) == 0) {
    rest = text.substr(7);
  } else if (text.rfind("mqtts://", 0) == 0) {
    rest = text.substr(8);
    parsed.tls = true;
    parsed.port = 8883;
  } else {
    return refuse("the scheme is mqtt:// or mqtts://");
  }
  const size_t slash = rest.find('/');
  if (slash == std::string::npos || slash + 1 >= rest.size()) return refuse("no topic prefix");
  std::string authority = rest.substr(0, slash);
  parsed.prefix = rest.substr(slash + 1);
  if (parsed.prefix.back() == '/') parsed.prefix.pop_back();
  if (parsed.prefix.empty() || parsed.prefix.find_first_of("+#") != std::string::npos ||
      parsed.prefix.find("//") != std::string::npos || parsed.prefix[0] == '/') {
    return refuse("the prefix is one or more topic levels without + or #");
  }
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    const size_t colon = userInfo.find(':');
    parsed.user = userInfo.substr(0, colon);
    if (colon != std::string::npos) {
      parsed.password = userInfo.substr(colon + 1);
      parsed.passwordGiven = true;
    }
    if (parsed.user.empty()) return refuse("an empty user name");
  }
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return refuse("an unclosed [IPv6 address]");
    parsed.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return refuse("text after the ]");
      portText = authority.substr(close + 2);
      if (portText.empty()) return refuse("an empty port");
    }
  } else {
    const size_t colon = authority.find(':');
    parsed.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      portText = authority.substr(colon + 1);
      if (portText.empty()) return refuse("an empty port");
    }
  }
  if (parsed.host.empty()) return refuse("no host");
  if (!portText.empty()) {
    long port = 0;
    if (!parseCount(portText.c_str(), 1, 65535, &port)) return refuse("the port is 1 to 65535");
    parsed.port = static_cast<int>(port);
  }
  *url = parsed;
  return true;
}

bool isPublishOption(const std::string& name) {
  static const char* const kNames[] = {
      "mqtt",
      "id",
      "state-dir",
      "mqtt-batch",
      "mqtt-drain",
      "mqtt-keepalive",
      "mqtt-ca",
      "mqtt-password-file",
      "mqtt-format",
      "device",
      "wait-for-converter",
  };
  for (const char* known : kNames) {
    if (name == known) return true;
  }
  return false;
}

bool takePublishOption(const std::string& name, const char* arg, PublishOptions* opts,
                       std::string* error) {
  auto refuse = [&](const std::string& accepts) {
    *error = accepts + ", not \"" + arg + "\"";
    return false;
  };
  long n = 0;
  if (name == "mqtt") {
    opts->enabled = true;
    return parseBrokerUrl(arg, &opts->broker, error);
  }
  if (name == "id") {
    opts->id = arg;
    return validId(opts->id) || refuse("--id takes up to 100 characters without /, +, # or spaces");
  }
  if (name == "state-dir") {
    opts->stateDir = arg;
    return !opts->stateDir.empty() || refuse("--state-dir takes a directory");
  }
  if (name == "mqtt-batch") {
    if (!parseCount(arg, 1, 1000, &n)) return refuse("--mqtt-batch takes 1 to 1000 scans");
    opts->batch = static_cast<int>(n);
    return true;
  }
  if (name == "mqtt-drain") {
    char* end = nullptr;
    const double s = std::strtod(arg, &end);
    if (end == arg || *end != '\0' || !std::isfinite(s) || s < 0 || s > 3600) {
      return refuse("--mqtt-drain takes 0 to 3600 seconds");
    }
    opts->drainS = s;
    return true;
  }
  if (name == "mqtt-keepalive") {
    if (!parseCount(arg, 5, 65535, &n)) return refuse("--mqtt-keepalive takes 5 to 65535 seconds");
    opts->keepaliveS = static_cast<int>(n);
    return true;
  }
  if (name == "mqtt-ca") {
    opts->caFile = arg;
    return !opts->caFile.empty() || refuse("--mqtt-ca takes a file");
  }
  if (name == "mqtt-password-file") {
    opts->passwordFile = arg;
    return !opts->passwordFile.empty() || refuse("--mqtt-password-file takes a file");
  }
  if (name == "mqtt-format") {
    if (std::strcmp(arg, "json") == 0) return opts->format = PayloadFormat::Json, true;
    if (std::strcmp(arg, "influx") == 0) return opts->format = PayloadFormat::Influx, true;
    return refuse("--mqtt-format takes json or influx");
  }
  if (name == "device") {
    opts->device = arg;
    return !opts->device.empty() || refuse("--device takes a device path or rfc2217:// URL");
  }
  if (name == "wait-for-converter") {
    opts->waitForConverter = true;
    return true;
  }
  return false;
}

std::string defaultLoggerId(int comNumber, const std::string& hostName) {
  const char* service = std::getenv("K73LOG_ID");
  if (service != nullptr && validId(service)) return service;
  return (hostName.empty() ? std::string("k73log") : hostName) + "-COM" + std::to_string(comNumber);
}

}  // namespace k73log
