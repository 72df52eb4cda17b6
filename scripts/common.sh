# Sourced by the other scripts: the Debian packages, the project's virtual environment and the
# CMake tree build they share.
#
# QUELB_PYTHON  the interpreter the environment is made from (default: the python3 first on PATH)
# QUELB_VENV    where the environment lives (default: .venv in the project root)
# CMAKE_BUILD_PARALLEL_LEVEL  compile jobs (default: one per core)
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUELB_VENV:-$root/.venv}"
venv_python="$venv/bin/python"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

# Installs the Debian packages named that are missing (as root, or through sudo).
debian_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "Installing missing Debian packages: ${missing[*]}" >&2
  local sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What a build needs from Debian: the compiler, CMake, Ninja, GoogleTest for the C++ tests, and for
# Debian's own interpreter its venv module and headers.
build_packages() {
  local packages=(g++ cmake ninja-build libgtest-dev)
  case "$(base_python)" in
    /usr/bin/*) packages+=(python3-venv python3-dev) ;;
  esac
  debian_packages "${packages[@]}"
}

# The real interpreter behind QUELB_PYTHON (a pyenv shim resolves to the version it runs).
base_python() {
  local requested="${QUELB_PYTHON:-python3}"
  command -v "$requested" >/dev/null || { echo "no interpreter '$requested' on PATH" >&2; exit 1; }
  case "$requested" in
    /usr/bin/*) echo "$requested" ;;  # may lack its venv module until build_packages ran
    *) "$requested" -c 'import sys; print(sys.executable)' ;;
  esac
}

# Requirement lines from pyproject.toml: `requirements build` gives [build-system] requires,
# `requirements test` the test extra. Read without a TOML library, which Python 3.9 lacks.
requirements() {
  "$(base_python)" - "$root/pyproject.toml" "$1" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
key = {"build": "requires"}.get(sys.argv[2], sys.argv[2])
# An array of strings, which may hold brackets (extras) and comments.
match = re.search(r"^" + re.escape(key) + r'\s*=\s*\[((?:"[^"]*"|#[^\n]*|[^\]"#])*)\]', text, re.M)
items = re.sub(r'("[^"]*")|#[^\n]*', lambda m: m.group(1) or "", match.group(1))
print("\n".join(re.findall(r'"([^"]+)"', items)))
EOF
}

# Makes (or reuses) the project environment for the chosen interpreter with the build
# requirements and the named requirement groups (e.g. test) installed: an environment made from
# another interpreter is made anew.
project_env() {
  local base
  build_packages
  base="$(base_python)"
  if [ ! -x "$venv_python" ] || [ "$(cat "$venv/.quelb-base" 2>/dev/null)" != "$base" ]; then
    echo "Creating the project environment $venv from $base" >&2
    rm -rf "$venv"
    "$base" -m venv "$venv"
    echo "$base" >"$venv/.quelb-base"
  fi
  local wanted=() group line
  for group in build "$@"; do
    while IFS= read -r line; do wanted+=("$line"); done < <(requirements "$group")
  done
  "$venv_python" -m pip install -q "${wanted[@]}"
}

# Installs the project into the project environment as `pip install .` does, with its build
# requirements taken from the environment (project_env installed them) instead of a new isolated
# one each time: the CMake build kept in the environment then stays incremental between runs.
install_project() {
  "$venv_python" -m pip install -q --no-build-isolation --no-deps \
    --config-settings build-dir="$venv/build" "$root"
}

# Configures and builds a CMake tree build for the project environment's interpreter.
# Usage: tree_build DIR [--target "T1 T2"] [cmake args...]     (all targets by default)
tree_build() {
  local dir="$1" targets=()
  shift
  if [ "${1:-}" = --target ]; then
    read -r -a targets <<<"$2"
    targets=(--target "${targets[@]}")
    shift 2
  fi
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELB_PYTHON="$venv_python" "$@" \
    >/dev/null
  cmake --build "$dir" "${targets[@]}"
}
