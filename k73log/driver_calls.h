// The driver's exports, bound by name with the public header's types: from
// the loaded library in the program, from the driver linked in for tests in
// virtual time.
#ifndef K73LOG_DRIVER_CALLS_H
#define K73LOG_DRIVER_CALLS_H

#include <string>

#include "tovdrv.h"
#include "tovdrv_exports.h"

namespace k73log {

struct DriverCalls {
#define K73LOG_MEMBER(name) decltype(&::name) name = nullptr;
  TOVDRV_EXPORTS(K73LOG_MEMBER, K73LOG_MEMBER)
#undef K73LOG_MEMBER
};

// Loads the driver library (beside the program first) and binds the calls.
// False with the reason when the library or an export is missing.
bool loadDriver(DriverCalls* calls, std::string* error);

}  // namespace k73log

#endif
