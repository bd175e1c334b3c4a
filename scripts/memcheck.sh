#!/usr/bin/env bash
# Runs pytest under valgrind memcheck and fails on any invalid memory access,
# and on any leak whose allocation stack passes through the extension module.
# Usage: scripts/memcheck.sh [pytest arguments...]   (run from anywhere; needs `make install` first)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="$root/.venv/bin/python"
if ! command -v valgrind >/dev/null 2>&1; then
    echo "valgrind is not installed; installing it" >&2
    apt-get update -qq && apt-get install -y -qq valgrind >/dev/null
fi
log="$(mktemp -t memcheck.XXXXXX.log)"
cd "$root/tests"
set +e
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
    --num-callers=50 --suppressions="$root/scripts/valgrind-python.supp" --log-file="$log" \
    "$python" -m pytest -q -p no:cacheprovider "$@"
status=$?
set -e
"$python" "$root/scripts/memcheck_report.py" "$log" || status=1
exit $status
