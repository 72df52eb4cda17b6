#!/usr/bin/env bash
# Installs the Debian packages the project needs (when missing), then configures and builds.
# Usage: scripts/setup.sh [build-dir] [extra cmake args...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true
python="${QUELB_PYTHON:-/usr/bin/python3}"

packages=(cmake ninja-build g++ python3 python3-dev pybind11-dev python3-pytest python3-numpy
          libgtest-dev libbenchmark-dev python3-setuptools python3-wheel python3-pip python3-venv
          python3-matplotlib python3-hypothesis)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}" >&2
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELB_PYTHON="$python" "$@" >/dev/null
# One compile job per core: link-time optimisation of the extension needs its memory.
cmake --build "$build" --parallel "$(nproc)"
