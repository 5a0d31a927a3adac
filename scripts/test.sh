#!/usr/bin/env bash
# Builds every configuration from nothing and runs every test in each:
#   release    optimised build, as shipped
#   asan       AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prerequisites.sh"
jobs=$(nproc)
configure() {  # name, then CMake options
  local name=$1
  shift
  rm -rf "$root/build-$name"
  cmake -S "$root" -B "$root/build-$name" -G Ninja -DTOURPLAN_WERROR=ON "$@" >/dev/null
  cmake --build "$root/build-$name" -j "$jobs"
}
check() {  # name
  (cd "$root/build-$1" && ctest -j "$jobs" --output-on-failure --timeout 900 </dev/null)
}
configure release -DCMAKE_BUILD_TYPE=Release
check release
configure asan -DCMAKE_BUILD_TYPE=Debug -DTOURPLAN_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 check asan
echo "All tests passed."
