#!/usr/bin/env bash
# Runs the terminal, death and end-to-end tests of one build folder many times while another
# process keeps every core busy, and prints how many rounds passed and failed: a flaky test
# shows up here long before it shows up in a run of scripts/test.sh.
#   scripts/soak.sh build-tsan [rounds, 30] [ctest -R pattern]
# Each failing round's output is kept in the build folder as soak-failure-N.log.
set -euo pipefail
folder=$(cd "${1:?give a build folder, e.g. build-tsan}" && pwd)
rounds=${2:-30}
pattern=${3:-'^e2e\.|DeathTest\.'}
jobs=$(nproc)

# The options scripts/test.sh runs each configuration with; a build ignores the others'.
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 report_thread_leaks=0 atexit_sleep_ms=0"

busy=()
stop_load() { [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null || true; }
trap stop_load EXIT
for _ in $(seq "$jobs"); do
  python3 -c 'while True: pass' &
  busy+=($!)
done

passed=0
failed=0
for round in $(seq "$rounds"); do
  log="$folder/soak-failure-$round.log"
  if (cd "$folder" && ctest -j "$jobs" -R "$pattern" --output-on-failure --timeout 900 \
      </dev/null >"$log" 2>&1); then
    passed=$((passed + 1))
    rm -f "$log"
  else
    failed=$((failed + 1))
    echo "round $round failed:" $(grep -E "^\s*[0-9]+ - " "$log" | awk '{print $3}')
  fi
done
echo "$(basename "$folder") '$pattern': $passed passed, $failed failed of $rounds rounds"
[ "$failed" -eq 0 ]
