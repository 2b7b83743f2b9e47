#!/usr/bin/env bash
# Builds the Debian package linkhop_VERSION_ARCH.deb into dist/ (the build
# tools are installed first, as root, when they are missing), and runs
# lintian on it when lintian is there.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v dpkg-buildpackage >/dev/null || need+=(dpkg-dev)
[ -f /usr/share/perl5/Debian/Debhelper/Buildsystem/cmake.pm ] || need+=(debhelper)
command -v dh_apache2 >/dev/null || need+=(apache2-dev)
command -v help2man >/dev/null || need+=(help2man)
command -v lintian >/dev/null || need+=(lintian)
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/fcgiapp.h ] || need+=(libfcgi-dev)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "package.sh: missing packages: ${need[*]} (install them as root)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# dpkg-buildpackage writes its results beside the source folder: build in
# a copy of the tree inside build-deb/, so that nothing lands outside it.
work=build-deb
rm -rf "$work"
mkdir -p "$work/linkhop" dist
tar --exclude='./build*' --exclude=./dist --exclude=./.git --exclude=./debian/.debhelper \
  -cf - . | tar -xf - -C "$work/linkhop"
(cd "$work/linkhop" && dpkg-buildpackage -b -us -uc)
rm -f dist/linkhop_*.deb
cp "$work"/linkhop_*.deb dist/
deb=$(ls dist/linkhop_*.deb)
echo "package.sh: built $deb"
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$work"/linkhop_*.changes
fi
