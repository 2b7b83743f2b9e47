#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the Release build's unit, end-to-end and web-server tests (build/);
#   2. the Windows build (build-win/, mingw-w64): its unit tests, the
#      end-to-end tests of linkhop.exe and the edit tests of hoptool.exe,
#      all under Wine;
#   3. the whole native suite again under AddressSanitizer and
#      UndefinedBehaviorSanitizer (build-san/).
# The first two builds treat every compiler warning as an error.
# Parts whose tools are missing (and cannot be installed) say "skipped".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --full
jobs=$(nproc)

# Wine runs in a prefix of the build's own (the Windows tests are listed by
# running them, at build time); its server is stopped at the end.
wine=/usr/lib/wine/wine64
if [ -x "$wine" ]; then
  mkdir -p build-win
  export WINEPREFIX=$PWD/build-win/wineprefix WINEDEBUG=-all
  trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
fi

# The Windows build, when the cross compiler and Wine are here.
windows_exe=
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && [ -x "$wine" ]; then
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DLINKHOP_WERROR=ON
  cmake --build build-win -j"$jobs"
  windows_exe=$PWD/build-win/linkhop.exe
else
  echo "Windows build and Wine tests: skipped (needs mingw-w64 and wine64)"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLINKHOP_WERROR=ON \
  -DLINKHOP_WINDOWS_EXE="$windows_exe" \
  -DLINKHOP_WINDOWS_HOPTOOL="${windows_exe:+$PWD/build-win/tools/hoptool.exe}" \
  -DLINKHOP_WINDOWS_HOLD="${windows_exe:+$PWD/build-win/tests/hold_open.exe}"
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

if [ -n "$windows_exe" ]; then
  ctest --test-dir build-win --output-on-failure -j"$jobs"
fi

cmake -S . -B build-san -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINKHOP_SANITIZE=ON
cmake --build build-san -j"$jobs"
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-san --output-on-failure -j"$jobs"
