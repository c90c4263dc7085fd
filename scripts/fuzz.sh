#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan), makes their seed corpora
# from the tree files in the shared data folder, runs every target for
# FUZZ_SECONDS (default 30) in parallel and fails on any finding: a sanitizer
# report, a crash, an uncaught exception, a failed check or a timeout.
#   bash scripts/fuzz.sh                    # 30 s per target
#   FUZZ_SECONDS=600 bash scripts/fuzz.sh   # a longer run
# Reproduce a finding: build/fuzz/<target> build/fuzz/artifacts/<target>/crash-...
set -euo pipefail
# Every path is resolved from this script's own place.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

FUZZ_SECONDS=${FUZZ_SECONDS:-30}
BUILD=${FUZZ_BUILD:-build/fuzz}
DATA=${QB_DATA:-}
if [[ -z "$DATA" && -d "$ROOT/../shared/data" ]]; then DATA=$(cd "$ROOT/../shared/data" && pwd); fi

have_libfuzzer() {
  command -v clang++ >/dev/null 2>&1 &&
    compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null
}
if ! have_libfuzzer; then
  if [[ $(id -u) == 0 ]]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
    command -v clang++ >/dev/null 2>&1 || ln -sf "$(command -v clang++-14)" /usr/local/bin/clang++
  else
    echo "fuzz.sh: clang++ with libFuzzer (libclang-rt-14-dev) is needed" >&2
    exit 1
  fi
fi

CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DQUORBELIN_FUZZ=ON -DQUORBELIN_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD"

# The seed generator links the instrumented core; it is not a fuzz target.
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer-no-link,address,undefined -Isrc tests/fuzz/make_seeds.cpp \
  "$BUILD/libqbcompression.a" "$BUILD/libqbcore.a" $(pkg-config --libs libzstd) -o "$BUILD/make_seeds"
# Seeds go to a fresh temporary folder, removed on exit.
SEEDS=$(mktemp -d "${TMPDIR:-/tmp}/qb-fuzz-seeds.XXXXXX")
trap 'rm -rf "$SEEDS"' EXIT
"$BUILD/make_seeds" "$SEEDS" ${DATA:+"$DATA" "$DATA/odd"}

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

targets=()
for src in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done

mkdir -p "$BUILD/logs"
declare -A pids
for t in "${targets[@]}"; do
  corpus="$BUILD/corpus/$t"
  mkdir -p "$corpus" "$BUILD/artifacts/$t"
  max_len=16384
  [[ $t == fuzz_newick ]] && max_len=8192
  "$BUILD/$t" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -max_len=$max_len \
    -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t/" \
    "$corpus" "$SEEDS/$t" >"$BUILD/logs/$t.log" 2>&1 &
  pids[$t]=$!
done

failed=0
printf '%-36s %-8s %12s %8s\n' target result executions corpus
for t in "${targets[@]}"; do
  rc=0
  wait "${pids[$t]}" || rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$BUILD/logs/$t.log" | grep -o '[0-9]*$' || true)
  files=$(find "$BUILD/corpus/$t" -type f | wc -l)
  if [[ $rc == 0 ]]; then
    printf '%-36s %-8s %12s %8s\n' "$t" ok "${runs:-?}" "$files"
  else
    failed=1
    printf '%-36s %-8s %12s %8s   log: %s\n' "$t" "FAIL($rc)" "${runs:-?}" "$files" "$BUILD/logs/$t.log"
    grep -E 'FUZZ FINDING|ERROR: |runtime error|Test unit written|uncaught' "$BUILD/logs/$t.log" | head -5 | sed 's/^/    /'
  fi
done
if [[ $failed != 0 ]]; then
  echo "fuzz.sh: findings (inputs under $BUILD/artifacts/)"
  exit 1
fi
echo "fuzz.sh: ${#targets[@]} targets, ${FUZZ_SECONDS}s each, no findings"
