#!/usr/bin/env bash
# Installs the MinGW-w64 cross compilers and Wine (Debian 12) when missing.
set -euo pipefail
exec "$(dirname "$0")/../setup.sh" g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 nsis zip unzip mandoc
