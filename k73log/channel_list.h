// The channels of a scan as the command line names them: "0,1,4,5:0-3" is
// channels 0, 1 and 4 at control code 0 and channel 5 at codes 0 to 3.
#ifndef K73LOG_CHANNEL_LIST_H
#define K73LOG_CHANNEL_LIST_H

#include <cstdint>
#include <string>
#include <vector>

namespace k73log {

struct ChannelCodes {
  int channel = 0;
  int firstCode = 0;
  int lastCode = 0;
};

// Channels in ascending order, each listed once.
using ChannelList = std::vector<ChannelCodes>;

// Parses the text into *list; false with *error saying what is wrong.
bool parseChannelList(const std::string& text, ChannelList* list, std::string* error);

// The record's scan table for the list: first code << 4 | last code per
// channel, 0x10 (first 1, last 0: no points) for a channel not listed.
void toScanTable(const ChannelList& list, int16_t table[6]);
// The list a record's scan table describes (skipped channels left out).
ChannelList fromScanTable(const int16_t table[6]);

int pointCount(const ChannelList& list);

}  // namespace k73log

#endif
