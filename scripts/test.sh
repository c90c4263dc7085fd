#!/usr/bin/env bash
# The project's test command. From any directory:
#
#   bash scripts/test.sh
#
# 1. Installs missing system packages when run as root (else says what is missing).
# 2. Builds the wheel once (one abi3 wheel serves every CPython from 3.10 up).
# 3. C++ developer build and ctest, when tests/cpp holds tests.
# 4. scripts/fuzz.sh, when it exists.
# 5. For each of python3.10 .. python3.13 found: a venv .venv-3.1x with the
#    wheel and the test extra, then pytest.
# Exits non-zero if any step fails or no Python 3.10+ is found.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PYTHONDONTWRITEBYTECODE=1

declare -a SUMMARY=()
FAILED=0
say() { printf '\n==> %s\n' "$*"; }
record() {  # record <status> <what>
  SUMMARY+=("$(printf '%-6s %s' "$1" "$2")")
  [[ "$1" == FAIL ]] && FAILED=1
  return 0
}
finish() {
  printf '\n==================== summary ====================\n'
  printf '%s\n' "${SUMMARY[@]}"
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

# --- 1. System packages ----------------------------------------------------
if bash scripts/system-packages.sh libzstd-dev pkg-config libgtest-dev libbenchmark-dev clang libclang-rt-14-dev cmake ninja-build; then
  record ok "system packages present"
else
  die "missing system packages (see above)"
fi

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
echo "Pythons: $(for v in "${VERSIONS[@]}"; do printf '%s=%s ' "$v" "${PYTHONS[$v]}"; done)"

# --- 2. The wheel, built once ------------------------------------------------
BUILD_PY="${PYTHONS[${VERSIONS[0]}]}"
for v in 3.11 3.12 3.13 3.10; do [[ -n "${PYTHONS[$v]:-}" ]] && { BUILD_PY="${PYTHONS[$v]}"; break; }; done
say "building the wheel with $BUILD_PY"
if [[ ! -x .venv/bin/python ]]; then
  "$BUILD_PY" -m venv .venv || die "could not create .venv"
fi
.venv/bin/python -m pip install -q --upgrade pip >/dev/null 2>&1 || true
WHEELHOUSE="$ROOT/build/wheelhouse"
rm -rf "$WHEELHOUSE"
mkdir -p "$WHEELHOUSE"
if .venv/bin/python -m pip wheel -q --no-deps -w "$WHEELHOUSE" . ; then
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
if compgen -G "tests/cpp/*.cpp" >/dev/null; then
  say "C++ developer build (warnings as errors) and ctest"
  if cmake -S . -B build/dev -G Ninja -DQUORBELIN_DEV=ON -DPython_EXECUTABLE="$ROOT/.venv/bin/python" >build/dev-configure.log 2>&1 &&
     cmake --build build/dev -j "$(nproc)" &&
     ctest --test-dir build/dev --output-on-failure -j "$(nproc)"; then
    record ok "C++ tests (ctest)"
  else
    [[ -f build/dev-configure.log ]] && tail -n 30 build/dev-configure.log
    record FAIL "C++ build or tests"
  fi
else
  record skip "C++ tests (tests/cpp has none)"
fi

# --- 4. Fuzzing -----------------------------------------------------------------
if [[ -f scripts/fuzz.sh ]]; then
  say "fuzzing (scripts/fuzz.sh)"
  if bash scripts/fuzz.sh; then record ok "fuzz targets"; else record FAIL "fuzz targets"; fi
else
  record skip "fuzzing (no scripts/fuzz.sh)"
fi

# --- 5. pytest under every Python ------------------------------------------------
for v in "${VERSIONS[@]}"; do
  py="${PYTHONS[$v]}"
  venv="$ROOT/.venv-$v"
  say "pytest under Python $v ($py)"
  if [[ ! -x "$venv/bin/python" ]]; then
    "$py" -m venv "$venv" || { record FAIL "Python $v: venv"; continue; }
  fi
  if ! { "$venv/bin/python" -m pip install -q "${WHEEL}[test]" &&
         "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$WHEEL"; }; then
    record FAIL "Python $v: install"
    continue
  fi
  # Run from tests/ so that the installed module, not the source tree, is imported.
  if (cd "$ROOT/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .); then
    record ok "pytest, Python $v"
  else
    record FAIL "pytest, Python $v"
  fi
done

finish
