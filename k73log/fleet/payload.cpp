#include "payload.h"

#include <ctime>

#include "spool.h"

namespace k73log {

namespace {

// Tag values escape commas, spaces and equals signs; field keys the same.
std::string influxEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '=') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// "2026-12-08T07:01:02.345Z" in ns since 1970; 0 when it is not one.
long long isoToNs(const std::string& iso) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7) {
    return 0;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return (static_cast<long long>(timegm(&tm)) * 1000 + ms) * 1000000LL;
}

// A spool line is one flat object: "key": number or "key": "text", ", "
// between them.
std::string influxLine(const std::string& line, const std::string& tag) {
  std::string fields, seq;
  long long ns = 0;
  size_t at = 1;
  while (at < line.size()) {
    const size_t keyStart = line.find('"', at);
    if (keyStart == std::string::npos) break;
    const size_t keyEnd = line.find('"', keyStart + 1);
    const size_t valueStart = line.find_first_not_of(": ", keyEnd + 1);
    if (keyEnd == std::string::npos || valueStart == std::string::npos) break;
    const std::string key = line.substr(keyStart + 1, keyEnd - keyStart - 1);
    size_t valueEnd;
    std::string value;
    if (line[valueStart] == '"') {
      valueEnd = line.find('"', valueStart + 1);
      value = line.substr(valueStart + 1, valueEnd - valueStart - 1);
      if (valueEnd != std::string::npos) ++valueEnd;
    } else {
      valueEnd = line.find_first_of(",}", valueStart);
      value = line.substr(valueStart, valueEnd - valueStart);
    }
    if (key == "time_utc") {
      ns = isoToNs(value);
    } else if (key == "seq") {
      seq = value;
    } else {
      fields += (fields.empty() ? "" : ",") + influxEscaped(key) + "=" + value;
    }
    if (valueEnd == std::string::npos) break;
    at = valueEnd + 1;
  }
  return "k73,logger=" + tag + " " + fields + ",seq=" + seq + "i " + std::to_string(ns);
}

}  // namespace

std::string jsonPayload(const std::vector<std::string>& spoolLines) {
  std::string payload = "[";
  for (const std::string& line : spoolLines) {
    if (payload.size() > 1) payload += ",";
    payload += line;
  }
  return payload + "]";
}

std::string influxPayload(const std::vector<std::string>& spoolLines, const std::string& loggerId) {
  const std::string tag = influxEscaped(loggerId);
  std::string payload;
  for (const std::string& line : spoolLines) {
    if (!payload.empty()) payload += "\n";
    payload += influxLine(line, tag);
  }
  return payload;
}

}  // namespace k73log
