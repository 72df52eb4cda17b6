#!/usr/bin/env bash
# Installs what is missing (Debian packages, the project environment .venv with the build and
# test requirements), then configures and builds a CMake tree build: the C++ tests, the benchmark
# extension and a copy of _quelb_core to run in place (PYTHONPATH=build).
# Usage: scripts/setup.sh [build-dir] [extra cmake args...]     (see scripts/common.sh)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="${1:-$root/build}"
shift || true
project_env test
tree_build "$build" "$@"
