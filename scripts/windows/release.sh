#!/usr/bin/env bash
# The Windows release, from the two cross builds (scripts/windows/build.sh):
#   build-release/k73-<version>-win64-setup.exe   the NSIS installer
#   build-release/k73-<version>-win64.zip         the same files, portable
#   build-release/k73-<version>-win64/            what both hold:
#     tovcon.exe, k73log.exe, tovdrv.dll    64-bit programs and driver
#     x86\tovdrv.dll                        the driver for 32-bit clients
#     include\tovdrv.h, tovscan.h           the SDK: headers and import
#     lib\x64\, lib\x86\                    libraries (libtovdrv.dll.a, tovdrv.lib)
#     README.txt, doc\*.html                the README (CRLF), the manual pages
# The version is the project's (CMake's project() in the top CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
win64=$root/build-win64 win32=$root/build-win32 out=$root/build-release

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win64/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $win64/CMakeCache.txt" >&2; exit 1; }
name=k73-$version-win64
stage=$out/$name

programs=(tovcon k73log)

rm -rf "$out"
mkdir -p "$stage/x86" "$stage/include" "$stage/lib/x64" "$stage/lib/x86" "$stage/doc"
for program in "${programs[@]}"; do
  cp "$win64/bin/$program.exe" "$stage/"
  mandoc -Thtml "docs/$program.1" >"$stage/doc/$program.html"
done
cp "$win64/bin/tovdrv.dll" "$stage/"
cp "$win32/bin/tovdrv.dll" "$stage/x86/"
# The public headers: those the development install puts in include/.
cmake --install "$win64" --component development --prefix "$out/development" >/dev/null
cp "$out/development/include/"*.h "$stage/include/"
sed 's/$/\r/' README.md >"$stage/README.txt"
# Debugging information stays in the build trees.
x86_64-w64-mingw32-strip -g "$stage"/*.exe "$stage/tovdrv.dll"
i686-w64-mingw32-strip -g "$stage/x86/tovdrv.dll"

# Import libraries from the export list. On x64 the names are plain. On x86
# a client of the __stdcall functions refers to _SignOn@4: the list there
# carries the argument sizes, read from the symbol table of the built 32-bit
# DLL (which exports the plain names), and --kill-at makes each import by
# the plain name the DLL exports.
exports=$(sed -n 's/^  \([A-Za-z_0-9]*\)\s*$/\1/p' driver/tovdrv.def)
decorated=$(i686-w64-mingw32-nm -g --defined-only "$win32/bin/tovdrv.dll" |
  sed -n 's/^[0-9a-f]* T _\([A-Za-z_0-9]*@[0-9]*\)$/\1/p' | sort -u)
{
  printf 'LIBRARY tovdrv.dll\nEXPORTS\n'
  for export in $exports; do
    line=$(grep -x "$export@[0-9]*" <<<"$decorated") ||
      { echo "no __stdcall symbol for $export in the 32-bit driver" >&2; exit 1; }
    echo "  $line"
  done
} >"$out/tovdrv-x86.def"
for lib in libtovdrv.dll.a tovdrv.lib; do
  x86_64-w64-mingw32-dlltool -d driver/tovdrv.def -D tovdrv.dll -l "$stage/lib/x64/$lib"
  i686-w64-mingw32-dlltool -k -d "$out/tovdrv-x86.def" -D tovdrv.dll -l "$stage/lib/x86/$lib"
done

# The installer installs and removes exactly the staged files.
(
  cd "$stage"
  find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|  Delete "$INSTDIR\\&"|'
  find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|  RMDir "$INSTDIR\\&"|'
) >"$out/uninstall-files.nsh"
size_kb=$(du -sk "$stage" | cut -f1)
makensis -V2 -WX -DVERSION="$version" -DSTAGE="$stage" -DSIZE_KB="$size_kb" \
  -DUNINSTALL_FILES="$out/uninstall-files.nsh" -DOUTFILE="$out/$name-setup.exe" \
  packaging/windows/k73.nsi

(cd "$out" && zip -qr "$name.zip" "$name")
echo "$out/$name-setup.exe"
echo "$out/$name.zip"
