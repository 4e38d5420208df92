// Every export of a built driver library, bound by name and typed from the
// public header, the way a client program binds them. A null member is an
// export the library lacks.
#ifndef TOV_TESTS_SUPPORT_DRIVER_BINDING_H
#define TOV_TESTS_SUPPORT_DRIVER_BINDING_H

#include <string>

#include "sim_process.h"
#include "tovdrv.h"
#include "tovdrv_exports.h"

namespace k73test {

struct DriverBinding {
  explicit DriverBinding(const std::string& path = binPath("libtovdrv.so")) : lib(path) {}

  DriverLibrary lib;
#define K73_BIND(name) decltype(&::name) name = lib.get<decltype(&::name)>(#name);
  TOVDRV_EXPORTS(K73_BIND, K73_BIND)
#undef K73_BIND

  // Loaded, with all 32 exports found.
  bool ok() const {
    bool found = lib.loaded();
#define K73_FOUND(name) found = found && name != nullptr;
    TOVDRV_EXPORTS(K73_FOUND, K73_FOUND)
#undef K73_FOUND
    return found;
  }
};

}  // namespace k73test

#endif
