// The Telnet layer is libtelnet's passive state machine: it doubles and
// undoubles 0xFF, parses commands and negotiations, and hands back events.
// Here sit only the COM-PORT commands and what the server says about them.
#include "com_port_session.h"

#include <libtelnet.h>

#include <cstddef>  // libtelnet.h uses size_t without including it

namespace tov::platform {

namespace {

// Binary both ways; the COM-PORT option is ours to offer, not the server's.
const telnet_telopt_t kOptions[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {kComPortOption, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
};

constexpr uint8_t kDataSize8 = 8;
constexpr uint8_t kParityNone = 1;
constexpr uint8_t kStopBits1 = 1;
constexpr uint8_t kNoFlowControl = 1;
constexpr uint8_t kDtrOn = 8;
constexpr uint8_t kRtsOff = 12;
constexpr uint8_t kPurgeServerReceive = 1;

}  // namespace

ComPortSession::ComPortSession() {
  telnet_ = telnet_init(kOptions, &ComPortSession::onEvent, 0, this);
  if (!telnet_) broken_ = true;
}

ComPortSession::~ComPortSession() {
  if (telnet_) telnet_free(telnet_);
}

void ComPortSession::onEvent(telnet_t*, telnet_event_t* event, void* self) {
  static_cast<ComPortSession*>(self)->handle(*event);
}

void ComPortSession::handle(const telnet_event_t& event) {
  switch (event.type) {
    case TELNET_EV_SEND:
      output_.insert(output_.end(), event.data.buffer, event.data.buffer + event.data.size);
      break;
    case TELNET_EV_DATA:
      keepData(reinterpret_cast<const uint8_t*>(event.data.buffer), event.data.size);
      break;
    case TELNET_EV_DO:
      if (event.neg.telopt == kComPortOption) {
        comPortAccepted_ = true;
        if (baud_ != 0 && !settingsSent_) sendLineSettings();
      }
      break;
    case TELNET_EV_SUBNEGOTIATION:
      if (event.sub.telopt == kComPortOption)
        subnegotiationFromServer(reinterpret_cast<const uint8_t*>(event.sub.buffer),
                                 event.sub.size);
      break;
    case TELNET_EV_ERROR:
      broken_ = true;
      break;
    default:  // commands, warnings, other options' negotiations
      break;
  }
}

void ComPortSession::start(uint32_t baud) {
  if (broken_) return;
  baud_ = baud;
  telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_BINARY);
  telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_BINARY);
  telnet_negotiate(telnet_, TELNET_WILL, kComPortOption);
  if (comPortAccepted_ && !settingsSent_) sendLineSettings();
}

void ComPortSession::changeRate(uint32_t baud) {
  if (broken_ || !settingsSent_) return;
  baud_ = baud;
  serverBaud_ = 0;
  sendBaudRate();
}

bool ComPortSession::lineConfirmed() const {
  return settingsSent_ && serverBaud_ == baud_ && dataSize_ == kDataSize8 &&
         parity_ == kParityNone && stopSize_ == kStopBits1;
}

void ComPortSession::sendBaudRate() {
  const uint8_t rate[4] = {static_cast<uint8_t>(baud_ >> 24), static_cast<uint8_t>(baud_ >> 16),
                           static_cast<uint8_t>(baud_ >> 8), static_cast<uint8_t>(baud_)};
  sendComPortCommand(kSetBaudRate, rate, sizeof rate);
}

void ComPortSession::sendLineSettings() {
  settingsSent_ = true;
  sendBaudRate();
  sendComPortCommand(kSetDataSize, &kDataSize8, 1);
  sendComPortCommand(kSetParity, &kParityNone, 1);
  sendComPortCommand(kSetStopSize, &kStopBits1, 1);
  // Servers need not answer the modem lines (ser2net on a pseudo-terminal
  // does not), so nothing ever waits for these.
  sendComPortCommand(kSetControl, &kNoFlowControl, 1);
  sendComPortCommand(kSetControl, &kDtrOn, 1);
  sendComPortCommand(kSetControl, &kRtsOff, 1);
}

void ComPortSession::sendComPortCommand(uint8_t command, const uint8_t* value, size_t count) {
  telnet_begin_sb(telnet_, kComPortOption);
  telnet_send(telnet_, reinterpret_cast<const char*>(&command), 1);
  telnet_send(telnet_, reinterpret_cast<const char*>(value), count);
  telnet_finish_sb(telnet_);
}

void ComPortSession::subnegotiationFromServer(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  if (bytes[0] == kServerReply + kSetBaudRate && count == 5) {
    serverBaud_ = static_cast<uint32_t>(bytes[1]) << 24 | static_cast<uint32_t>(bytes[2]) << 16 |
                  static_cast<uint32_t>(bytes[3]) << 8 | bytes[4];
    // Only the rate asked for completes the change: until then the server's
    // line may still run at the old one.
    return;
  }
  if (count != 2) return;
  // A server that cannot give the converter's framing says so in its answer.
  const uint8_t value = bytes[1];
  switch (bytes[0]) {
    case kServerReply + kSetDataSize:
      dataSize_ = value;
      if (value != kDataSize8) refusal_ = "the server refused 8 data bits";
      break;
    case kServerReply + kSetParity:
      parity_ = value;
      if (value != kParityNone) refusal_ = "the server refused no parity";
      break;
    case kServerReply + kSetStopSize:
      stopSize_ = value;
      if (value != kStopBits1) refusal_ = "the server refused one stop bit";
      break;
    default:
      break;
  }
}

void ComPortSession::keepData(const uint8_t* bytes, size_t count) {
  // What the reader took is dropped first, so the buffer holds only what waits.
  if (dataNext_ > 0) {
    data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(dataNext_));
    dataNext_ = 0;
  }
  const size_t room = data_.size() < dataLimit_ ? dataLimit_ - data_.size() : 0;
  data_.insert(data_.end(), bytes, bytes + (count < room ? count : room));
}

void ComPortSession::purgeInput() {
  dropData();
  if (broken_ || !comPortAccepted_) return;
  sendComPortCommand(kPurgeData, &kPurgeServerReceive, 1);
}

void ComPortSession::sendData(uint8_t byte) {
  if (broken_) return;
  telnet_send(telnet_, reinterpret_cast<const char*>(&byte), 1);
}

void ComPortSession::receive(const uint8_t* bytes, size_t count) {
  if (broken_ || count == 0) return;
  telnet_recv(telnet_, reinterpret_cast<const char*>(bytes), count);
}

bool ComPortSession::takeData(uint8_t* byte) {
  if (dataNext_ >= data_.size()) return false;
  *byte = data_[dataNext_++];
  if (dataNext_ == data_.size()) dropData();
  return true;
}

void ComPortSession::dropData() {
  data_.clear();
  dataNext_ = 0;
}

void ComPortSession::outputSent(size_t count) {
  if (count >= output_.size()) {
    output_.clear();
    return;
  }
  output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace tov::platform
