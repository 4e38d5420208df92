#include "driver_calls.h"
#include "library.h"

namespace k73log {

bool loadDriver(DriverCalls* calls, std::string* error) {
  void* module = tov::lib::load(tov::lib::driverFileName());
  if (!module) {
    *error = std::string("cannot load the driver ") + tov::lib::driverFileName();
    return false;
  }
  // The library stays loaded until the program ends.
#define K73LOG_BIND(name)                                                             \
  calls->name = reinterpret_cast<decltype(&::name)>(tov::lib::symbol(module, #name)); \
  if (!calls->name) {                                                                 \
    *error = std::string("the driver has no export ") + #name;                        \
    return false;                                                                     \
  }
  TOVDRV_EXPORTS(K73LOG_BIND, K73LOG_BIND)
#undef K73LOG_BIND
  return true;
}

}  // namespace k73log
