#!/usr/bin/env bash
# Installs, on Debian and as root, what building and testing need when it is
# missing. Without root it only says what is missing.
#   scripts/deps.sh          the build and the unit tests
#   scripts/deps.sh --full   also the web servers, the Windows cross
#                            compiler, Wine, the browser (headless
#                            Chromium) and the Debian packaging tools that
#                            scripts/test.sh uses
set -euo pipefail
need=()
want() { need+=("$1"); }
command -v cmake >/dev/null || want cmake
command -v g++ >/dev/null || want g++
[ -f /usr/include/gtest/gtest.h ] || want libgtest-dev
[ -f /usr/include/benchmark/benchmark.h ] || want libbenchmark-dev
[ -f /usr/include/CLI/CLI.hpp ] || want libcli11-dev              # hoptool
[ -f /usr/include/nlohmann/json.hpp ] || want nlohmann-json3-dev  # hoptool
[ -f /usr/include/fcgiapp.h ] || want libfcgi-dev                 # persistent mode
if [ "${1:-}" = --full ]; then
  [ -x /usr/sbin/lighttpd ] || want lighttpd
  [ -x /usr/sbin/apache2 ] || want apache2
  [ -x /usr/sbin/nginx ] || want nginx
  [ -x /usr/sbin/fcgiwrap ] || want fcgiwrap
  command -v spawn-fcgi >/dev/null || want spawn-fcgi
  [ -f /usr/lib/apache2/modules/mod_fcgid.so ] || want libapache2-mod-fcgid
  command -v curl >/dev/null || want curl
  command -v wget >/dev/null || want wget
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || want g++-mingw-w64-x86-64-posix
  [ -d /usr/src/googletest/googletest ] || want googletest
  [ -x /usr/lib/wine/wine64 ] || want wine64
  # hoptool stats: its page drawn in a browser, and the benchmark's awk
  [ -x /usr/bin/chromium-headless-shell ] || want chromium-headless-shell
  command -v python3 >/dev/null || want python3
  command -v mawk >/dev/null || want mawk
  # the benchmark's load on a web server
  command -v wrk >/dev/null || want wrk
  # the Debian package: its build, lintian, and the socket unit's way of
  # starting the program where systemd is not running
  command -v dpkg-buildpackage >/dev/null || want dpkg-dev
  command -v dh >/dev/null || want debhelper
  command -v dh_apache2 >/dev/null || want apache2-dev
  command -v help2man >/dev/null || want help2man
  command -v lintian >/dev/null || want lintian
  command -v systemd-socket-activate >/dev/null || want systemd
  # a table shipped to two backends in the edit test
  command -v rsync >/dev/null || want rsync
fi
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${need[*]} (install them as root); going on without them" >&2
  exit 0
fi
apt-get update -qq
# Recommends left out: Wine's would bring a desktop's worth of packages.
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
