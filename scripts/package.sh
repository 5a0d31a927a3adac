#!/usr/bin/env bash
# Builds every program and makes a Debian package of them and their manual pages, with the
# libraries they need named as dependencies: build/package/tourplan_VERSION_ARCH.deb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/prerequisites.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOURPLAN_TESTS=OFF >/dev/null
cmake --build "$root/build"
rm -rf "$root/build/package"
(cd "$root/build" && cpack -G DEB -B "$root/build/package")
ls "$root"/build/package/*.deb
