// One Telnet connection to a serial port server (ser2net, a serial device
// server) that speaks the COM-PORT option: the protocol state and nothing
// else. Bytes the server sent go in through receive(); bytes for the server
// come out through pendingOutput(). No socket, no clock: the port on top of
// it does the I/O and the waiting, and tests feed it scripted server bytes.
#ifndef TOV_PLATFORM_COM_PORT_SESSION_H
#define TOV_PLATFORM_COM_PORT_SESSION_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct telnet_t;
union telnet_event_t;

namespace tov::platform {

// The COM-PORT option's number and the server's reply offset.
constexpr uint8_t kComPortOption = 44;
constexpr uint8_t kServerReply = 100;

enum ComPortCommand : uint8_t {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kPurgeData = 12,
};

class ComPortSession {
 public:
  ComPortSession();
  ~ComPortSession();
  ComPortSession(const ComPortSession&) = delete;
  ComPortSession& operator=(const ComPortSession&) = delete;

  // Asks for binary data both ways and offers the COM-PORT option, then the
  // line settings: `baud`, 8 data bits, no parity, one stop bit, no flow
  // control, DTR on, RTS off. The settings go out once the server accepts
  // the option; the line is confirmed when the server answers the rate.
  void start(uint32_t baud);
  // Asks for another rate on the open session; the line is confirmed again
  // when the server answers it.
  void changeRate(uint32_t baud);
  // Throws away what the server holds from the converter and what we hold.
  void purgeInput();
  void sendData(uint8_t byte);  // 0xFF goes out doubled
  void receive(const uint8_t* bytes, size_t count);

  size_t dataWaiting() const { return data_.size() - dataNext_; }
  // At most this many received bytes are held for the reader; more are
  // dropped, as a full input queue drops them.
  void limitData(size_t bytes) { dataLimit_ = bytes; }
  bool takeData(uint8_t* byte);
  void dropData();

  const uint8_t* pendingOutput() const { return output_.data(); }
  size_t pendingOutputSize() const { return output_.size(); }
  void outputSent(size_t count);

  // The server answered every setting with the value asked for.
  bool lineConfirmed() const;
  // The server answered data size, parity or stop size with another value
  // than 8N1: why the line cannot be used, else null.
  const char* refusal() const { return refusal_; }
  uint32_t serverBaud() const { return serverBaud_; }
  bool comPortAccepted() const { return comPortAccepted_; }
  bool broken() const { return broken_; }  // the server broke the Telnet protocol

 private:
  static void onEvent(telnet_t* telnet, telnet_event_t* event, void* self);
  void handle(const telnet_event_t& event);
  void subnegotiationFromServer(const uint8_t* bytes, size_t count);
  void sendLineSettings();
  void sendBaudRate();
  void keepData(const uint8_t* bytes, size_t count);
  void sendComPortCommand(uint8_t command, const uint8_t* value, size_t count);

  telnet_t* telnet_ = nullptr;
  std::vector<uint8_t> output_;
  std::vector<uint8_t> data_;
  size_t dataNext_ = 0;
  uint32_t baud_ = 0;
  uint32_t serverBaud_ = 0;
  bool comPortAccepted_ = false;
  bool settingsSent_ = false;
  size_t dataLimit_ = 4096;
  int dataSize_ = -1;  // the server's answers; -1 until they come
  int parity_ = -1;
  int stopSize_ = -1;
  const char* refusal_ = nullptr;
  bool broken_ = false;
};

}  // namespace tov::platform

#endif
