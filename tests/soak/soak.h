// The logger's run loop for hours of virtual time against the simulated
// converter and a schedule of faults, with every scan the converter made
// accounted for: logged with its own values, inside a marked gap, or lost.
//
// The converter stamps each scan with its serial number, so each log line
// says which scan it is; its record of the scans it made is the reference.
#ifndef K73_TESTS_SOAK_SOAK_H
#define K73_TESTS_SOAK_SOAK_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fault_line.h"
#include "rfc2217_server.h"

namespace k73soak {

struct SoakConfig {
  uint64_t seed = 1;
  double hours = 1;
  double meanFaultSpacingS = 45;
  // The port is remote: the driver's RFC 2217 port to a scripted server,
  // with the server's faults in the schedule.
  bool remote = false;
};

struct SoakReport {
  uint64_t seed = 0;
  double hours = 0;
  double intervalS = 0;
  bool remote = false;
  int64_t faults[int(FaultKind::Count)] = {};
  Rfc2217Server::Tally server;  // a remote port's

  int64_t scansMade = 0;
  int64_t loggedRight = 0;
  int64_t insideGaps = 0;         // made, not logged, between the two scans of a gap mark
  int64_t insideGapsDamaged = 0;  // of those, made while the line or converter misbehaved
  int64_t insideEarlyGaps = 0;    // of those, marked before scans that came ahead of them
  int64_t unreadAtStop = 0;       // made after the last scan read, as the run stopped
  int64_t gaps = 0;
  int64_t gapCountsOff = 0;  // gap marks whose count is not the jump in index
  int64_t gapCountsVsTimer =
      0;  // largest |count - scans the timer had due| (a restart moves its phase)
  std::map<std::string, int64_t> failures;  // the logger's reasons for signing on again
  int64_t changedOnTheLine = 0;  // a data bit flipped by noise: no framing check can see it
  int64_t wrongValues = 0;
  int64_t loggedTwice = 0;
  int64_t lostOutsideGaps = 0;
  int64_t wrongIndex = 0;  // logged right, but its index is not the converter's timer
  int64_t rssStartKb = 0;
  int64_t rssEndKb = 0;
  double wallSeconds = 0;
  std::vector<std::string> anomalies;  // the first few, with their times, for the failure message

  bool clean() const {
    return wrongValues == 0 && loggedTwice == 0 && lostOutsideGaps == 0 && gapCountsOff == 0 &&
           wrongIndex == 0 && gapCountsVsTimer <= 1 && unreadAtStop <= 2;
  }
};

SoakReport runSoak(const SoakConfig& config);
std::string formatReport(const SoakReport& report);

}  // namespace k73soak

#endif
