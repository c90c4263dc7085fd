#!/usr/bin/env bash
# The project's test command. From any directory:
#
#   bash scripts/test.sh
#
# 1. Installs missing system packages when run as root. Otherwise a missing
#    package of the wheel stops the run, and a missing package of the C++ tests
#    or of the fuzz targets skips that group, saying which and how to install it.
# 2. Builds the wheel once (one abi3 wheel serves every CPython from 3.10 up).
# 3. C++ developer build and ctest, when tests/cpp holds tests.
# 4. scripts/fuzz.sh, when it exists.
# 5. For each of python3.10 .. python3.13 found: a venv .venv-3.1x with the
#    wheel and the test extra, then pytest.
# Each step prints one line; its full output goes to build/logs/<step>.log, and
# the end of that log is shown when the step fails. The summary names every
# skipped group and why. Exits non-zero if any step fails or no Python 3.10+ is
# found.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PYTHONDONTWRITEBYTECODE=1

declare -a SUMMARY=() SKIPPED=()
FAILED=0
LOGS="$ROOT/build/logs"
mkdir -p "$LOGS"
JOBS="$(nproc)"; ((JOBS > 4)) && JOBS=4
say() { printf '%-46s ' "$*"; }  # the start of a step's line; record ends it
record() {  # record <status> <what> [<detail>]
  SUMMARY+=("$(printf '%-6s %s' "$1" "$2")")
  [[ "$1" == FAIL ]] && FAILED=1
  printf '%s%s\n' "$1" "${3:+ ($3)}"
  return 0
}
skipped() { SKIPPED+=("$1"); }  # skipped <group: why>
quiet() {  # quiet <log name> <command...>: runs the command with its output in the log
  local log="$LOGS/$1.log"
  shift
  "$@" >"$log" 2>&1 && return 0
  local rc=$?
  printf '\n  --- last lines of %s ---\n' "${log#"$ROOT"/}"
  tail -n 30 "$log" | sed 's/^/  /'
  return $rc
}
DATA=""
[[ -d "$ROOT/../shared/data" ]] && DATA="$ROOT/../shared/data"
finish() {
  printf '\n==================== summary ====================\n'
  printf '%s\n' "${SUMMARY[@]}"
  if ((${#SKIPPED[@]})); then
    printf 'skipped:\n'
    printf '  - %s\n' "${SKIPPED[@]}"
  fi
  printf 'logs: %s\n' "${LOGS#"$ROOT"/}"
  if ((FAILED)); then
    printf 'RESULT: FAILED\n'
    exit 1
  fi
  printf 'RESULT: all passed\n'
  exit 0
}
die() {
  record FAIL "$1"
  finish
}
[[ -n "$DATA" ]] || skipped "tests of the real tree files (tests/test_files.py, one C++ writer test, fuzz seeds from real files): they read ../shared/data beside the repository, which this machine's layout has and a fresh clone elsewhere does not"

# --- 1. System packages ----------------------------------------------------
missing_of() {  # missing_of <package...>: those not installed, space-separated
  bash scripts/system-packages.sh "$@" 2>&1 >/dev/null | sed -n 's/^Missing system packages: //p'
}
CPP_MISSING="" FUZZ_MISSING=""
if [[ $(id -u) -ne 0 ]]; then  # nothing can be installed: a group that lacks a package is skipped
  CPP_MISSING="$(missing_of libgtest-dev libbenchmark-dev)"
  FUZZ_MISSING="$(missing_of clang libclang-rt-14-dev)"
fi
PACKAGES=()
for p in libzstd-dev pkg-config libgtest-dev libbenchmark-dev clang libclang-rt-14-dev cmake ninja-build; do
  [[ " $CPP_MISSING $FUZZ_MISSING " == *" $p "* ]] || PACKAGES+=("$p")
done
say "system packages"
if quiet system-packages bash scripts/system-packages.sh "${PACKAGES[@]}"; then
  absent="$(echo $CPP_MISSING $FUZZ_MISSING)"
  record ok "system packages present" "${absent:+not installed, their groups skipped: $absent}"
else
  die "missing system packages (see the log)"
fi
lacks() {  # lacks <group> <missing packages>: skips the group when a package is missing
  [[ -n "$2" ]] || return 1
  say "$1"
  record skip "$1"
  skipped "$1: missing system packages $2 (run this script as root to install them, or: sudo apt-get install $2)"
}

# --- Pythons ----------------------------------------------------------------
works_as() {  # works_as <exe> <version>: the interpreter runs and is that version
  "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$2'.split('.'))))" >/dev/null 2>&1
}
find_python() {  # find_python 3.12 -> path or nothing (pyenv shims that do not run are passed over)
  local v="$1" exe="python$1" root c
  if c="$(command -v "$exe" 2>/dev/null)" && works_as "$c" "$v"; then
    echo "$c"
    return 0
  fi
  for root in "$(pyenv root 2>/dev/null)" "${PYENV_ROOT:-}" "$HOME/.pyenv"; do
    [[ -n "$root" && -d "$root/versions" ]] || continue
    for c in "$root"/versions/"$v"*/bin/"$exe"; do
      [[ -x "$c" ]] && works_as "$c" "$v" && { echo "$c"; return 0; }
    done
  done
  return 1
}
declare -A PYTHONS=()
VERSIONS=()
for v in 3.10 3.11 3.12 3.13; do
  if p="$(find_python "$v")"; then
    PYTHONS[$v]="$p"
    VERSIONS+=("$v")
  fi
done
((${#VERSIONS[@]})) || die "no Python 3.10 to 3.13 found (looked on PATH and under pyenv)"
for v in 3.10 3.11 3.12 3.13; do
  [[ -n "${PYTHONS[$v]:-}" ]] || skipped "pytest under Python $v: no working python$v on PATH or under pyenv"
done

# --- 2. The wheel, built once ------------------------------------------------
BUILD_PY="${PYTHONS[${VERSIONS[0]}]}"
for v in 3.11 3.12 3.13 3.10; do [[ -n "${PYTHONS[$v]:-}" ]] && { BUILD_PY="${PYTHONS[$v]}"; break; }; done
say "wheel (built with $(basename "$BUILD_PY"))"
if [[ ! -x .venv/bin/python ]]; then
  quiet venv "$BUILD_PY" -m venv .venv || die "could not create .venv"
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null 2>&1 || true
WHEELHOUSE="$ROOT/build/wheelhouse"
rm -rf "$WHEELHOUSE"
mkdir -p "$WHEELHOUSE"
if quiet wheel .venv/bin/python -m pip wheel --no-deps -w "$WHEELHOUSE" . ; then
  WHEEL="$(ls "$WHEELHOUSE"/quorbelin-*.whl | head -n 1)"
  # One stable-ABI wheel must serve every Python below.
  if [[ "$(basename "$WHEEL")" == *-cp310-abi3-*.whl ]]; then
    record ok "wheel $(basename "$WHEEL")"
  else
    record FAIL "wheel $(basename "$WHEEL") is not tagged cp310-abi3"
  fi
else
  die "wheel build"
fi

# --- 3. C++ developer build and tests ----------------------------------------
if lacks "C++ tests" "$CPP_MISSING"; then
  :
elif compgen -G "tests/cpp/*.cpp" >/dev/null; then
  say "C++ build (warnings as errors) and ctest"
  if quiet cpp-build bash -c 'cmake -S . -B build/dev -G Ninja -DQUORBELIN_DEV=ON -DPython_EXECUTABLE="$1/.venv/bin/python" &&
                             cmake --build build/dev -j "$2"' _ "$ROOT" "$JOBS" &&
     quiet ctest ctest --test-dir build/dev --output-on-failure -j "$JOBS"; then
    record ok "C++ tests (ctest)" "$(grep -m1 'tests passed' "$LOGS/ctest.log")"
    grep -q '(Skipped)' "$LOGS/ctest.log" &&
      skipped "C++: $(grep -c '(Skipped)' "$LOGS/ctest.log") test(s) skipped by GTEST_SKIP (see build/logs/ctest.log)"
  else
    record FAIL "C++ build or tests"
  fi
else
  say "C++ tests"
  record skip "C++ tests"
  skipped "C++ tests: tests/cpp holds none"
fi

# --- 4. Fuzzing -----------------------------------------------------------------
if lacks "fuzzing" "$FUZZ_MISSING"; then
  :
elif [[ -f scripts/fuzz.sh ]]; then
  say "fuzzing (scripts/fuzz.sh)"
  if quiet fuzz bash scripts/fuzz.sh; then
    record ok "fuzz targets" "$(tail -n 1 "$LOGS/fuzz.log" | sed 's/^fuzz.sh: //')"
  else
    record FAIL "fuzz targets"
  fi
else
  say "fuzzing"
  record skip "fuzzing"
  skipped "fuzzing: no scripts/fuzz.sh"
fi

# --- 5. pytest under every Python ------------------------------------------------
for v in "${VERSIONS[@]}"; do
  py="${PYTHONS[$v]}"
  venv="$ROOT/.venv-$v"
  say "pytest, Python $v"
  if [[ ! -x "$venv/bin/python" ]]; then
    quiet "venv-$v" "$py" -m venv "$venv" || { record FAIL "Python $v: venv"; continue; }
  fi
  if ! quiet "install-$v" bash -c '"$1/bin/python" -m pip install "$2[test]" &&
                                   "$1/bin/python" -m pip install --force-reinstall --no-deps "$2"' _ "$venv" "$WHEEL"; then
    record FAIL "Python $v: install"
    continue
  fi
  # Run from tests/ so that the installed module, not the source tree, is imported.
  if (cd "$ROOT/tests" && quiet "pytest-$v" "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider .); then
    record ok "pytest, Python $v" "$(tail -n 1 "$LOGS/pytest-$v.log" | tr -d '=' | sed 's/^ *//; s/ *$//')"
  else
    record FAIL "pytest, Python $v"
  fi
  # Skip groups: "SKIPPED [n] file:line: reason" -> "file: reason", once over all Pythons.
  while IFS= read -r group; do
    [[ " ${SKIPPED[*]} " == *"pytest: $group"* ]] || skipped "pytest: $group"
  done < <(sed -n 's/^SKIPPED \[[0-9]*\] \([^:]*\):[0-9]*: /\1: /p' "$LOGS/pytest-$v.log" | sort -u)
done

finish
