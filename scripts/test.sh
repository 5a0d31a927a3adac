#!/usr/bin/env bash
# Builds every configuration from nothing and runs every test in each:
#   release    optimised build, as shipped, with the Python module (only here: the interpreter
#              that loads it is not instrumented)
#   asan       AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan       ThreadSanitizer
#   fuzz       the libFuzzer targets (Clang), each run for about half a minute from its seeds
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
configure release -DCMAKE_BUILD_TYPE=Release -DTOURPLAN_PYTHON=ON
check release
# The instrumented builds: line tables only (enough for the sanitizers' stack traces), which
# compile in about half the time of full debug information. At -O1 they compiled faster still,
# but their tests ran 2.5 (ASan) and 4.6 (TSan) times as long.
instrumented=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
configure asan "${instrumented[@]}" -DTOURPLAN_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 check asan
configure tsan "${instrumented[@]}" -DTOURPLAN_SANITIZE=thread
# An abort (Ctrl+C, a failing worker) ends the process with workers still unjoined: by design,
# so thread leaks are not reported. No sleep at exit: the terminal tests time the pause.
TSAN_OPTIONS="halt_on_error=1 report_thread_leaks=0 atexit_sleep_ms=0" check tsan
configure fuzz "${instrumented[@]}" -DCMAKE_CXX_COMPILER=clang++ -DTOURPLAN_FUZZ=ON \
  -DTOURPLAN_TESTS=OFF
fuzz() {  # target, then libFuzzer options; new inputs go to a corpus in the build folder
  local target=$1 folder="$root/build-fuzz"
  shift
  mkdir -p "$folder/corpus-$target"
  if ! (cd "$folder" && "./fuzz_$target" -max_total_time="${TOURPLAN_FUZZ_SECONDS:-30}" \
      -print_final_stats=1 -dict="$root/tests/fuzz/reader.dict" "$@" "corpus-$target" \
      "$root/tests/fuzz/corpus/$target" >"fuzz_$target.log" 2>&1 </dev/null); then
    tail -n 40 "$folder/fuzz_$target.log"
    echo "fuzz_$target failed; the input is in $folder"
    exit 1
  fi
  echo "fuzz_$target:" $(grep -E "^stat::(number_of_executed_units|new_units_added)" \
    "$folder/fuzz_$target.log")
}
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fuzz items -max_len=20000
fuzz run
echo "All tests passed."
