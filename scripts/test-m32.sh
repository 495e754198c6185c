#!/usr/bin/env bash
# Builds lpxferd for 32-bit x86 (-m32, with 64-bit file offsets and times)
# in build-m32/ and runs the test suite there, GoogleTest built from source
# for the same target.
#
# A kernel without 32-bit support (some virtual machines) cannot run the
# programs directly. Then, as root, the script registers the user-mode
# emulator qemu-i386 for 32-bit x86 programs with binfmt_misc, so that the
# multi-process tests can start the 32-bit servers and client as usual;
# where that is not possible only the unit tests run, under the emulator.
# Under emulation the two long transfer tests (e2e_roundtrip, e2e_resume:
# hundreds of kilobytes over the busy-polled simulated cable) are left out:
# they would run many times slower than real time, and the 32-bit code they
# use is the one the other tests run; so are the soak (soak_short) and the
# comparison of variants A and B (variant_b). So is the privileges test: an
# emulated program does not get the set-user-id bit's rights.
set -euo pipefail
cd "$(dirname "$0")/.."
LPX_WANT_M32=1 scripts/setup.sh

probe=$(mktemp -d /tmp/lpx-m32.XXXXXX)
trap 'rm -rf "$probe"' EXIT
# The probe names the machine it runs on: the kernel's own (x86_64) when it
# runs 32-bit programs itself, the emulator's (i686) under qemu-i386.
cat >"$probe/p.cc" <<'PROBE'
#include <sys/utsname.h>
#include <cstdio>
int main() { utsname u; return uname(&u) == 0 && puts(u.machine) >= 0 ? 0 : 1; }
PROBE
g++ -m32 "$probe/p.cc" -o "$probe/p"

register_emulator() {
  [ "$(id -u)" = 0 ] && command -v qemu-i386 >/dev/null || return 1
  local misc=/proc/sys/fs/binfmt_misc
  [ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null || return 1
  [ -e "$misc/lpx-i386" ] ||
    printf '%s' ':lpx-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:' \
      >"$misc/register" 2>/dev/null || return 1
  "$probe/p" >/dev/null 2>&1
}

flags=(-DCMAKE_TOOLCHAIN_FILE=scripts/m32-toolchain.cmake -DLPX_GTEST_FROM_SOURCE=ON
  -DLPX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
exclude=()
machine=$("$probe/p" 2>/dev/null || true)
if [ "$machine" = x86_64 ]; then
  echo "m32: the kernel runs 32-bit programs"
elif [ -n "$machine" ] || register_emulator; then
  echo "m32: 32-bit programs run under qemu-i386 (binfmt_misc); the long transfer, soak, A/B and privileges tests are left out"
  exclude=(-E '^(e2e_roundtrip|e2e_resume|soak_short|variant_b|privileges)$')
else
  echo "m32: 32-bit programs cannot run here but under qemu-i386: unit tests only"
  flags+=("-DLPX_M32_EMULATOR=qemu-i386;-L;/")
  exclude=(-R '\.')  # the unit tests are named Suite.Test; the scripts have no dot
fi

if [ "${#exclude[@]}" = 0 ] && [ "${LPX_SKIP_LONG:-0}" = 1 ]; then
  exclude=(-E '^(e2e_roundtrip|e2e_resume|soak_short)$')
fi

cmake -S . -B build-m32 "${flags[@]}" >/dev/null
cmake --build build-m32 -j "$(nproc)"
cd build-m32
ctest --output-on-failure -j "$(nproc)" --timeout 300 "${exclude[@]}"
