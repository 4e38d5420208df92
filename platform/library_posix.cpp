// Loading the driver library with the dynamic loader.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "library.h"

#ifndef TOVDRV_SONAME
#define TOVDRV_SONAME "libtovdrv.so.1"
#endif

namespace tov::lib {

namespace {

// The directory the running program was started from, with a trailing '/'.
std::string programDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  std::string exe(path, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

void* loadByName(const char* fileName) {
  // A name with a directory is taken as given; a bare name is looked for
  // beside the program first, then wherever the system looks for libraries.
  if (std::string(fileName).find('/') == std::string::npos) {
    std::string dir = programDirectory();
    if (!dir.empty()) {
      if (void* module = dlopen((dir + fileName).c_str(), RTLD_NOW | RTLD_LOCAL)) return module;
    }
  }
  return dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

void* load(const char* fileName) {
  void* module = loadByName(fileName);
  // An installed system may carry the driver only under its SONAME: the
  // unversioned name is a development link that runtime packages leave out.
  if (!module && std::strcmp(fileName, driverFileName()) == 0) module = loadByName(TOVDRV_SONAME);
  return module;
}

void* symbol(void* module, const char* name) {
  return module ? dlsym(module, name) : nullptr;
}

void release(void* module) {
  if (module) dlclose(module);
}

const char* driverFileName() {
  return "libtovdrv.so";
}

}  // namespace tov::lib
