// A serial port server in virtual time, as the driver's remote ports meet
// one: it listens for one Telnet connection at a time, opens the converter's
// line when a client connects (at 300 baud, as a freshly opened device),
// answers the COM-PORT commands, and carries the converter's bytes both ways
// with Telnet's escaping. Bytes reach the client a little after they leave,
// as over a network.
//
// The schedule's server faults act here: the server gone (connections
// refused, the open one closed), slow to answer a rate (past the client's
// deadline at times), sending its Telnet commands in pieces across reads or
// cut off by the connection closing. A converter unplugged from the server
// closes the connection, and the server hangs up on every new one until it
// is back.
#ifndef K73_TESTS_SOAK_RFC2217_SERVER_H
#define K73_TESTS_SOAK_RFC2217_SERVER_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "fault_line.h"
#include "remote_port.h"

namespace k73soak {

class Rfc2217Server {
 public:
  Rfc2217Server(k73::VirtualBench& bench, FaultLine& line, const std::vector<Fault>& faults,
                uint64_t seed);

  // A new connection's number, or 0 when the server refuses it.
  int connect();
  void disconnect(int connection);  // the client closed its end

  // The client's side of the byte stream; -1 once the connection is closed.
  long fromClient(int connection, const uint8_t* bytes, size_t count);
  long toClient(int connection, uint8_t* buffer, size_t size);
  // Something for the client has arrived: bytes, or the end of the stream.
  bool readable(int connection);
  // Runs the server and the converter's line up to now, then advances the
  // bench's clock to the next moment something reaches the client, or to
  // the deadline.
  void waitReadable(int connection, int64_t deadlineUs);

  // What the faults did: they count only where they met the client.
  struct Tally {
    int64_t connections = 0;        // accepted
    int64_t refused = 0;            // while the server was gone
    int64_t hungUp = 0;             // connections the server closed
    int64_t lateRates = 0;          // rate answers held back
    int64_t ratesPastDeadline = 0;  // of them, later than the client waits
    int64_t splitCommands = 0;
    int64_t cutOff = 0;  // connections closed in the middle of a command
  };
  const Tally& tally() const { return tally_; }

 private:
  struct Out {
    int64_t tUs;
    uint8_t byte;
  };
  void runUntil(int64_t tUs);
  int64_t nextEventUs();
  bool active(FaultKind kind, int64_t tUs) const;
  void hangUp(int64_t tUs);
  void toDevice(uint8_t byte, int64_t tUs);
  void fromDevice(int64_t tUs);
  void clientByte(uint8_t byte, int64_t tUs);
  void negotiate(uint8_t verb, uint8_t option, int64_t tUs);
  void subnegotiation(int64_t tUs);
  void setRate(uint32_t baud, int64_t tUs);
  void answer(uint8_t command, const uint8_t* value, size_t count, int64_t tUs);
  // One Telnet unit (a command, or an escaped data byte) on its way to the
  // client; while the server sends half commands, split across two reads.
  void send(const std::vector<uint8_t>& unit, int64_t tUs);
  void splitCommands(const Fault& f);

  k73::VirtualBench& bench_;
  FaultLine& line_;
  std::vector<Fault> faults_;  // the server's own faults and the unplugs, by start
  std::multimap<int64_t, std::function<void(int64_t)>> timers_;  // the actions at their times
  std::mt19937_64 rng_;

  int connection_ = 0;  // the open connection's number; 0 when none is open
  int nextConnection_ = 1;
  bool closedByServer_ = false;  // the client still reads what came before the end
  Tally tally_;
  std::deque<Out> out_;
  int64_t lastOutUs_ = 0;
  uint32_t baud_ = 300;
  bool slowRateDue_ = false;
  int64_t lineFreeUs_ = 0;  // the converter's line is busy with our bytes until then

  // The client's Telnet stream, parsed.
  enum class Parse { Data, Iac, Option, Sub, SubIac } parse_ = Parse::Data;
  uint8_t verb_ = 0;
  std::vector<uint8_t> sub_;
};

}  // namespace k73soak

#endif
