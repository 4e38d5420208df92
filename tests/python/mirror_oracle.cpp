// Answers, one line each, what the C and C++ side of a rule gives for an
// input, so that the Python package's tests can hold its mirrors to it. Each
// input line is a rule's name and its arguments, separated by tabs:
//   baud I | averaging N | fit TYPE POINTS BYTES | failure CODE
//   interval SECONDS FIRMWARE PRESET BAUD_INDEX | channels TEXT | settings PATH
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "channel_list.h"
#include "settings_file.h"
#include "tovscan.h"

namespace {

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

long long number(const std::vector<std::string>& f, size_t i) {
  return i < f.size() ? std::strtoll(f[i].c_str(), nullptr, 10) : 0;
}

DeviceRecord blankRecord() {
  DeviceRecord rec;
  std::memset(&rec, 0, sizeof rec);
  return rec;
}

std::string settings(const std::string& path) {
  DeviceRecord rec = blankRecord();
  int32_t localAveraging = 1;
  tov::SetConfigurationDefaults(&rec, localAveraging);
  tov::LoadConfiguration(&rec, localAveraging, path.c_str());
  char text[1024];
  std::snprintf(text, sizeof text, "%u %u %d %d %.17g %d %u %d", rec.outQueueSize, rec.inQueueSize,
                rec.baudIndex, rec.deviceIndex, rec.scanInterval, rec.pointsPerScan, rec.remoteAvg,
                rec.scanType);
  std::string out = text;
  for (int16_t entry : rec.scanTable) out += " " + std::to_string(entry);
  std::snprintf(text, sizeof text, " %d %d %d %d %d %d %d %.17g %d %d %d %d", rec.singleChanCode,
                rec.channel, rec.subChannel, rec.bytesPerConversion, rec.bipolar, rec.filter,
                rec.gain, static_cast<double>(rec.sampleRate), rec.modeLow, rec.modeMid,
                rec.modeHigh, static_cast<int>(localAveraging));
  return out + text;
}

std::string answer(const std::vector<std::string>& f) {
  const std::string& rule = f[0];
  if (rule == "baud") return std::to_string(tovBaudRate(static_cast<int>(number(f, 1))));
  if (rule == "averaging") {
    return std::to_string(tovAveragingOffered(static_cast<uint32_t>(number(f, 1))));
  }
  if (rule == "fit") {
    DeviceRecord rec = blankRecord();
    rec.scanType = static_cast<int16_t>(number(f, 1));
    rec.pointsPerScan = static_cast<int16_t>(number(f, 2));
    rec.bytesPerConversion = static_cast<int16_t>(number(f, 3));
    return std::to_string(tovScanFitsBuffer(&rec));
  }
  if (rule == "failure") {
    const char* text = tovScanFailureText(static_cast<int32_t>(number(f, 1)));
    return text ? text : "-";
  }
  if (rule == "interval") {
    DeviceRecord rec = blankRecord();
    rec.scanInterval = std::strtod(f.at(1).c_str(), nullptr);
    rec.firmwareVersion = static_cast<int16_t>(number(f, 2));
    rec.counterPreset = static_cast<int32_t>(number(f, 3));
    rec.baudIndex = static_cast<int16_t>(number(f, 4));
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", tovTimerInterval(&rec));
    return text;
  }
  if (rule == "channels") {
    k73log::ChannelList list;
    std::string error;
    if (!k73log::parseChannelList(f.size() > 1 ? f[1] : "", &list, &error))
      return "error\t" + error;
    int16_t table[6];
    k73log::toScanTable(list, table);
    std::string out = "ok\t";
    for (int i = 0; i < 6; ++i) out += (i ? " " : "") + std::to_string(table[i]);
    return out;
  }
  if (rule == "settings") return settings(f.at(1));
  return "?";
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::vector<std::string> f = fieldsOf(line);
    std::cout << (f.empty() ? "?" : answer(f)) << "\n";
  }
  return 0;
}
