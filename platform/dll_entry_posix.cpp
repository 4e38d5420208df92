// The shared object's load and unload notifications, delivered to the
// driver's entry point as a process attach and detach.
#include "tovdrv.h"

namespace {

__attribute__((constructor)) void driverLoaded() {
  DllEntryPoint(nullptr, 1, nullptr);
}

__attribute__((destructor)) void driverUnloaded() {
  DllEntryPoint(nullptr, 0, nullptr);
}

}  // namespace
