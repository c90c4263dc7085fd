#!/usr/bin/env bash
# Runs the test suite against each deliberate fault (tests/mutants/*.mut), one at
# a time, in scratch copies of the tree; the tree itself is never changed.
#
#   bash tests/mutants/run.sh [-j SLOTS] [-o TABLE] [FAULT.mut ...]
#
# Each slot is a scratch copy under build/mutants/ with its own developer build:
# a fault is applied, the build is brought up to date, ctest then pytest (on one
# Python, the module from the build dir on PYTHONPATH) run until the first
# failure, and the file is put back. Prints the table "fault  caught-by".
# PYTHON: the interpreter for the build and pytest (default: python3.11).
# Its venv with the test extra is made once under build/mutants/venv.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
HERE="$ROOT/tests/mutants"
SLOTS=2
TABLE=""
while getopts "j:o:" opt; do
  case "$opt" in
    j) SLOTS="$OPTARG" ;;
    o) TABLE="$OPTARG" ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
FAULTS=("$@")
((${#FAULTS[@]})) || FAULTS=("$HERE"/*.mut)

SCRATCH="$ROOT/build/mutants"
mkdir -p "$SCRATCH"
# The tests find the shared data folder beside the repository.
[[ -e "$ROOT/../shared" && ! -e "$SCRATCH/shared" ]] && ln -s "$(cd "$ROOT/../shared" && pwd)" "$SCRATCH/shared"

PYTHON="${PYTHON:-$(command -v python3.11 || pyenv which python3.11)}"
VENV="$SCRATCH/venv"
if [[ ! -x "$VENV/bin/python" ]]; then
  "$PYTHON" -m venv "$VENV" && "$VENV/bin/pip" install -q pytest hypothesis zstandard || exit 1
fi
JOBS=$(( $(nproc) / SLOTS )); ((JOBS < 1)) && JOBS=1
# These check the installed wheel (its stubs) and run the README's commands: they
# need an install, not a build directory, and find no fault of the code itself.
IGNORE="--ignore=test_readme.py --ignore=test_stubs.py"

# sync <slot dir>: the slot's sources equal the tree's (tracked and new files);
# only changed files are copied, so their times tell the build what to redo.
sync() {
  local f
  mkdir -p "$1"
  (cd "$ROOT" && git ls-files -co --exclude-standard) >"$1.files"
  while read -r f; do
    [[ -f "$ROOT/$f" ]] && ! cmp -s "$ROOT/$f" "$1/$f" && mkdir -p "$(dirname "$1/$f")" && cp "$ROOT/$f" "$1/$f"
  done <"$1.files"
  (cd "$1" && find src tests -type f) | grep -vxFf "$1.files" | (cd "$1" && xargs -r rm -f)
}

# run_one <slot dir> <fault>: prints "<name> <caught-by>".
run_one() {
  local dir="$1" mut="$2" name file result log
  name="$(basename "$mut" .mut)"
  log="$SCRATCH/$name.log"
  if ! file="$(python3 "$HERE/apply.py" "$mut" "$dir" 2>"$log")"; then
    echo "$name anchor-missing"
    return
  fi
  if ! cmake --build "$dir/build/dev" -j "$JOBS" >>"$log" 2>&1; then
    result="build"   # the fault does not compile (-Werror counts as caught)
  elif ! timeout 600 ctest --test-dir "$dir/build/dev" -j "$JOBS" --stop-on-failure --timeout 120 >>"$log" 2>&1; then
    result="ctest"
  elif ! (cd "$dir/tests" && PYTHONPATH="$dir/build/dev" PYTHONDONTWRITEBYTECODE=1 \
          timeout 900 "$VENV/bin/python" -m pytest -x -q -p no:cacheprovider $IGNORE . >>"$log" 2>&1); then
    result="pytest"
  else
    result="MISSED"
  fi
  cp "$ROOT/$file" "$dir/$file"   # a fresh time: the next build recompiles it
  echo "$name $result"
}

slot() {  # slot <k>: every SLOTS-th fault from the k-th
  local k="$1" dir="$SCRATCH/s$1" i
  sync "$dir"
  cmake -S "$dir" -B "$dir/build/dev" -G Ninja -DQUORBELIN_DEV=ON -DPython_EXECUTABLE="$VENV/bin/python" \
        >"$SCRATCH/s$k-configure.log" 2>&1 &&
    cmake --build "$dir/build/dev" -j "$JOBS" >"$SCRATCH/s$k-build.log" 2>&1 || { echo "slot $k: build failed" >&2; return 1; }
  for ((i = k; i < ${#FAULTS[@]}; i += SLOTS)); do run_one "$dir" "${FAULTS[$i]}"; done
}

OUT="$SCRATCH/results.$$"
: >"$OUT"
for ((k = 0; k < SLOTS; k++)); do slot "$k" >>"$OUT" & done
wait
{
  printf '%-32s %s\n' fault caught-by
  sort "$OUT" | while read -r name result; do printf '%-32s %s\n' "$name" "$result"; done
} | tee ${TABLE:+"$TABLE"}
rm -f "$OUT"
