// The scans topic's payloads from spool lines: a JSON array of the lines'
// objects, or InfluxDB line protocol, one line per scan.
#ifndef K73LOG_FLEET_PAYLOAD_H
#define K73LOG_FLEET_PAYLOAD_H

#include <string>
#include <vector>

#include "publish_options.h"

namespace k73log {

std::string jsonPayload(const std::vector<std::string>& spoolLines);

// "k73,logger=ID ch0.0_mV=1.000,t_s=0.040000,seq=7i 1796722862345000000":
// measurement k73, the logger's id as a tag, every number of the line a
// field, the scan's time_utc in nanoseconds.
std::string influxPayload(const std::vector<std::string>& spoolLines, const std::string& loggerId);

}  // namespace k73log

#endif
