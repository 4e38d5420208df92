#!/usr/bin/env bash
# Cross-builds tovdrv.dll, tovcon.exe and k73log.exe for 64-bit Windows
# (build-win64/bin) and 32-bit Windows (build-win32/bin), without the Linux
# test suite.
set -euo pipefail
cd "$(dirname "$0")/../.."
for target in win64:x86_64 win32:i686; do
  dir=build-${target%%:*}
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-${target##*:}.cmake" \
    -DK73_BUILD_TESTS=OFF >/dev/null
  cmake --build "$dir" --target tovdrv tovcon k73log -j "${JOBS:-$(nproc)}"
done
