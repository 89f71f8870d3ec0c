#!/usr/bin/env bash
# The test command: prepares this machine, then builds every preset and runs
# all of its tests.
#
#   scripts/test.sh [PRESET ...]     (default: every preset below)
#
# 1. Checks for every Debian package the suite needs. Missing ones are
#    installed in one apt-get call (as root, or through a password-less sudo);
#    otherwise the script stops before building and names the command to run.
#    When nothing is missing, apt-get is not run at all.
# 2. Creates the Wine prefix once, before any test runs under Wine.
# 3. Runs each preset's workflow (configure, build, test), carrying on past a
#    failing preset so that one run reports everything, and closes with one
#    line over every ctest run: "N passed, M failed". Exits non-zero on any
#    failure.
set -uo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux windows sanitize linux-arm64 linux-armhf wasm)

# --- 1. Packages -------------------------------------------------------------
# One line per package: what it brings.
required_packages() {
  cat <<'LIST'
cmake                      CMake
ninja-build                Ninja
g++                        the Linux compiler
clang                      the sanitize preset and the fuzzers
libclang-rt-14-dev         clang's sanitizer and libFuzzer runtimes
clang-format               the layout check
lld                        wasm-ld, which links Kestrav.wasm (the wasm preset)
g++-mingw-w64-x86-64-posix the Windows cross compiler
wine64                     runs the Windows tests
pkgconf                    the pkg-config consumer test
python3                    the test drivers and the Python binding
googletest                 GoogleTest sources, built for cross targets
libgtest-dev               GoogleTest
libgmock-dev               GoogleMock
libbenchmark-dev           Google Benchmark
python3-venv               the wheel test's virtual environment
python3-setuptools         builds the wheel
python3-serial             the Python package's open_link and SbusOutput
python3-wheel              builds the wheel
mono-mcs                   compiles the .NET binding and its tests
mono-runtime               runs them
g++-aarch64-linux-gnu      the arm64 cross compiler
g++-arm-linux-gnueabihf    the armhf cross compiler
qemu-user                  runs the ARM tests
nlohmann-json3-dev         JSON for the tool's live view
chromium-headless-shell    the browser of the live view's tests
nodejs                     drives that browser, with puppeteer-core
lintian                    checks the Debian packages
qemu-system-x86            runs the lab's x86-64 guest (Debian's stock kernel)
qemu-system-arm            runs the lab's arm64 guest
busybox-static             the lab guest's shell and tools
cpio                       packs the lab guest's initramfs
LIST
}

missing=()
while read -r package _; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null)
  [ "${status:0:2}" = "ii" ] || missing+=("$package")
done < <(required_packages)

if [ ${#missing[@]} -gt 0 ]; then
  install_cmd="apt-get install -y ${missing[*]}"
  if [ "$(id -u)" = 0 ]; then
    sudo=()
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo=(sudo -n)
  else
    echo "test.sh: missing packages; as root, run" \
      "'apt-get update && $install_cmd', then run this again" >&2
    exit 1
  fi
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq &&
    "${sudo[@]}" apt-get install -y -qq "${missing[@]}" ||
    { echo "test.sh: apt-get failed: $install_cmd" >&2; exit 1; }
fi

# --- npm packages for the browser tests --------------------------------------
# Pinned by tests/web/package-lock.json; puppeteer-core brings no browser of
# its own (the tests use Debian's chromium-headless-shell).
if [ ! -f tests/web/node_modules/.package-lock.json ] ||
   [ tests/web/package-lock.json -nt tests/web/node_modules/.package-lock.json ]; then
  echo "== npm ci (tests/web)"
  (cd tests/web && npm ci --no-audit --no-fund --loglevel=error) ||
    { echo "test.sh: npm ci failed in tests/web" >&2; exit 1; }
fi

# --- 2. The Wine prefix ------------------------------------------------------
# The first start of Wine builds its prefix, which takes far longer than any
# test's timeout; do it once, here.
export WINEDEBUG=-all
if [[ " ${presets[*]} " == *" windows "* ]] &&
   [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
  echo "== creating the Wine prefix"
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
  /usr/lib/wine/wineserver -w 2>/dev/null || true
fi

# --- 3. Every preset ---------------------------------------------------------
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
for preset in "${presets[@]}"; do
  echo "== preset $preset"
  before=$(grep -c 'tests failed out of' "$log")
  if ! cmake --workflow --preset "$preset" 2>&1 | tee -a "$log"; then
    status=1
    # A preset that stopped before ctest ran counts as one failure, so that
    # the summary never reads as a clean run.
    if [ "$(grep -c 'tests failed out of' "$log")" = "$before" ]; then
      echo "preset $preset: stopped before its tests ran" | tee -a "$log"
      echo "0% tests passed, 1 tests failed out of 1" >>"$log"
    fi
  fi
done

awk -f "$here/scripts/ctest_summary.awk" "$log"
exit $status
