// Builds without libmosquitto: the fleet rows say they were not measured.
#include "fleet_run.h"

namespace bench {

void addFleetRows(Table& t, const std::string&) {
  t.add({"k73log publishing to MQTT", "this build has no libmosquitto", "", "", "",
         Verdict::NotMeasured});
}

}  // namespace bench
