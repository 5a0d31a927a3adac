#!/usr/bin/env bash
# Builds every program (so that `cmake --install build` works after it) and solves the bundled
# example problem in a scratch folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prerequisites.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOURPLAN_TESTS=OFF >/dev/null
cmake --build "$root/build"
work=$(mktemp -d)
cp "$root/examples/problem.dat" "$work/"
cd "$work"
"$root/build/tourplan"
echo "(solution file: $work/solution.txt)"
