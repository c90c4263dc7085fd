#!/usr/bin/env bash
# The main job: installs quorbelin into .venv and runs examples/example.py.
#
#   bash scripts/example.sh
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

say() { echo "example.sh: $*" >&2; }  # progress, apart from the example's own output

say "checking the system packages the build needs"
bash scripts/system-packages.sh libzstd-dev pkg-config cmake ninja-build || exit 1

PY=""
for c in python3 python3.13 python3.12 python3.11 python3.10; do
  if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; sys.exit(sys.version_info < (3, 10))'; then
    PY="$(command -v "$c")"
    break
  fi
done
[[ -n "$PY" ]] || { echo "example.sh: needs Python 3.10 or newer on PATH" >&2; exit 1; }

if [[ ! -x .venv/bin/python ]]; then
  say "making .venv with $PY"
  "$PY" -m venv .venv
fi
say "building quorbelin (C++, about a minute) and installing it into .venv"
.venv/bin/python -m pip install -q .
say "running examples/example.py"
exec .venv/bin/python examples/example.py "$@"
