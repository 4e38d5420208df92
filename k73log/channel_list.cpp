#include "channel_list.h"

#include <algorithm>
#include <cstdlib>

namespace k73log {

namespace {

constexpr int kChannels = 6;
constexpr int kCodes = 16;
constexpr int16_t kSkippedChannel = 0x10;

// A whole decimal number from lo to hi, nothing else.
bool parseNumber(const std::string& text, int lo, int hi, int* out) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const int value = std::atoi(text.c_str());
  if (value < lo || value > hi) return false;
  *out = value;
  return true;
}

bool parseItem(const std::string& item, ChannelCodes* codes, std::string* error) {
  const size_t colon = item.find(':');
  if (!parseNumber(item.substr(0, colon), 0, kChannels - 1, &codes->channel)) {
    *error = "channels are 0 to 5, not \"" + item + "\"";
    return false;
  }
  codes->firstCode = codes->lastCode = 0;
  if (colon == std::string::npos) return true;
  const std::string range = item.substr(colon + 1);
  const size_t dash = range.find('-');
  const bool ok = parseNumber(range.substr(0, dash), 0, kCodes - 1, &codes->firstCode) &&
                  (dash == std::string::npos
                       ? (codes->lastCode = codes->firstCode, true)
                       : parseNumber(range.substr(dash + 1), 0, kCodes - 1, &codes->lastCode));
  if (!ok || codes->lastCode < codes->firstCode) {
    *error = "control codes are 0 to 15 as CODE or FIRST-LAST, not \"" + item + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool parseChannelList(const std::string& text, ChannelList* list, std::string* error) {
  list->clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    ChannelCodes codes;
    if (!parseItem(text.substr(start, comma - start), &codes, error)) return false;
    for (const ChannelCodes& seen : *list) {
      if (seen.channel == codes.channel) {
        *error = "channel " + std::to_string(codes.channel) + " is listed twice";
        return false;
      }
    }
    list->push_back(codes);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  // The converter sends channels in ascending order whatever order they were named in.
  std::sort(list->begin(), list->end(),
            [](const ChannelCodes& a, const ChannelCodes& b) { return a.channel < b.channel; });
  return true;
}

void toScanTable(const ChannelList& list, int16_t table[6]) {
  for (int ch = 0; ch < kChannels; ++ch) table[ch] = kSkippedChannel;
  for (const ChannelCodes& c : list)
    table[c.channel] = static_cast<int16_t>(c.firstCode << 4 | c.lastCode);
}

ChannelList fromScanTable(const int16_t table[6]) {
  ChannelList list;
  for (int ch = 0; ch < kChannels; ++ch) {
    const int first = (table[ch] >> 4) & 0x0F;
    const int last = table[ch] & 0x0F;
    if (last >= first) list.push_back({ch, first, last});
  }
  return list;
}

int pointCount(const ChannelList& list) {
  int points = 0;
  for (const ChannelCodes& c : list) points += c.lastCode - c.firstCode + 1;
  return points;
}

}  // namespace k73log
