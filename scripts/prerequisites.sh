#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev python3)
# The LP solver of the branch-and-cut engine.
packages+=(coinor-libclp-dev)
# The test of the installed tree renders the manual pages; tourplan-draw's pictures are rendered
# with rsvg-convert; the package's dependencies are found by dpkg-shlibdeps, and the package is
# checked by lintian.
packages+=(man-db groff-base librsvg2-bin dpkg-dev lintian)
# The Python module: its bindings and Python's headers; NumPy and pip for its tests.
packages+=(pybind11-dev python3-dev python3-numpy python3-pip)
# Optional for the tests (each skipped where missing): graphs, a local Dask cluster, the types.
packages+=(python3-networkx python3-distributed mypy)
# The fuzz targets: Clang with libFuzzer and the sanitizer runtimes.
packages+=(clang libclang-rt-14-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q </dev/null
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
