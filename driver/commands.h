// The converter's command bytes: the first byte of every packet we send and,
// for commands with a reply, the first byte the converter echoes back.
#ifndef TOV_DRIVER_COMMANDS_H
#define TOV_DRIVER_COMMANDS_H

#include <cstdint>

namespace tov::cmd {

constexpr uint8_t kSelectChannel = 0x01;  // channel code; also addresses the timer counters
constexpr uint8_t kDigitalOut = 0x02;
constexpr uint8_t kFilter = 0x03;
constexpr uint8_t kAveraging = 0x04;    // log2 of the averaging count
constexpr uint8_t kCounterByte = 0x07;  // a counter's control word or count byte
constexpr uint8_t kDigitalIn = 0x80;
constexpr uint8_t kDigitalInQuery = 0x4C;  // the data byte that goes with kDigitalIn
constexpr uint8_t kConversion = 0x81;
constexpr uint8_t kOffsetCal = 0x82;
constexpr uint8_t kFullScaleCal = 0x83;
constexpr uint8_t kModeChange = 0x84;
constexpr uint8_t kVersion = 0x86;
constexpr uint8_t kChecksum = 0x87;
constexpr uint8_t kSleep = 0x88;
constexpr uint8_t kStartNormal = 0x89;
constexpr uint8_t kStop = 0x8A;
constexpr uint8_t kStartSingle = 0x8B;
constexpr uint8_t kStartSelfCal = 0x8C;

}  // namespace tov::cmd

#endif
