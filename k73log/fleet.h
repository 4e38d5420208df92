// What k73log needs from the fleet side of the system: a publisher to an MQTT
// broker fed from a spool on disk, and the service manager's notifications.
// Built on libmosquitto and the systemd notification socket where they
// exist (fleet/), and as stand-ins that say so elsewhere (fleet/absent.cpp).
#ifndef K73LOG_FLEET_H
#define K73LOG_FLEET_H

#include <cstdint>
#include <memory>
#include <string>

#include "publish_options.h"
#include "run_info.h"
#include "scan_run.h"
#include "scan_sink.h"

namespace k73log {

std::string hostName();

// Scans go to the spool (appended and flushed before scan() returns) and
// from there to the broker on a thread of the publisher's own; gaps and the
// run's start and end go out as events.
class Publisher : public ScanSink {
 public:
  // Numbers the scan (seq) and spools it; the log then carries the same seq.
  virtual bool spoolScan(Scan* scan) = 0;
  bool scan(const Scan& scan) override {
    Scan numbered = scan;
    return spoolScan(&numbered);
  }
  // The run's settings and columns: the start event, and the payloads' names.
  virtual void begin(const RunInfo& info) = 0;
  // Waits up to the drain time for the broker to take the spool, sends the
  // end event and "offline", disconnects. What is left stays spooled.
  virtual void finish(const RunTotals& totals) = 0;
  // Scans spooled but not yet acknowledged by the broker.
  virtual int64_t unacknowledged() = 0;
};

// Opens (creates) the state directory and the spool. nullptr with the
// one-line reason when that fails, or when this build cannot publish.
std::unique_ptr<Publisher> makePublisher(const PublishOptions& opts, const std::string& id,
                                         std::string* error);

// The state directory: --state-dir, else $STATE_DIRECTORY, else
// ~/.local/state/k73log/ID; created when missing. False with the reason.
bool stateDirectory(const PublishOptions& opts, const std::string& id, std::string* dir,
                    std::string* error);

// The converter's COMn in the state directory as a link to a device path or
// URL, and the state directory made the working directory (where the driver
// looks for COMn). False with the reason.
bool linkDevice(const std::string& stateDir, int comNumber, const std::string& device,
                std::string* error);

// The service manager's notification socket ($NOTIFY_SOCKET): nothing
// happens without one, and a socket that is full drops the message rather
// than holding the logger up.
void notifyReady();
void notifyStopping();
// Half the watchdog period the service manager asks for, 0 without one.
int64_t watchdogPingMs();
void notifyWatchdog();

}  // namespace k73log

#endif
