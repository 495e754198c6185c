#!/usr/bin/env bash
# Builds the Debian package of lpxferd into build-deb/ and checks it with
# lintian (any error fails).
#   scripts/package.sh           build-deb/lpxferd_<version>_<arch>.deb
#   scripts/package.sh --check   then, as root: install it with dpkg -i, run
#                                both programs' --version, verify the
#                                installed unit with systemd-analyze, remove
#                                and purge the package again
# The compiler and linker flags are Debian's (dpkg-buildflags: hardening
# included).
set -euo pipefail
cd "$(dirname "$0")/.."
LPX_WANT_DEB=1 scripts/setup.sh

build=build-deb
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CPPFLAGS $CXXFLAGS"  # CMake reads no CPPFLAGS
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DLPX_TESTS=OFF -DLPX_WERROR=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
variant=$(sed -n 's/^LPX_INSTALL_VARIANT:STRING=//p' "$build/CMakeCache.txt")
cmake --build "$build" -j "$(nproc)" --target "lpxferd_${variant}_hw" lpxfer_hw lpx_gzipped
rm -f "$build"/lpxferd_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/lpxferd_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb"
dpkg-deb --contents "$deb"

echo "lintian:"
lintian --fail-on error "$deb" | tee "$build/lintian.txt" || {
  echo "package: lintian reports errors" >&2
  exit 1
}

[ "${1:-}" = --check ] || exit 0
dpkg -i "$deb"
trap 'dpkg --purge lpxferd >/dev/null' EXIT
# A bounded wait: a server that took the option for a port would serve on.
timeout 10 /usr/bin/lpxferd --version
timeout 10 /usr/bin/lpxfer --version
# --man=no: the manual may be left out of a minimal system's dpkg paths.
systemd-analyze verify --man=no /lib/systemd/system/lpxferd@.service
dpkg -r lpxferd
dpkg --purge lpxferd >/dev/null
trap - EXIT
if [ -e /usr/bin/lpxferd ] || [ -e /lib/systemd/system/lpxferd@.service ]; then
  echo "package: dpkg -r left files behind" >&2
  exit 1
fi
echo "package: installed, ran, verified and removed $deb"
