#!/usr/bin/env bash
# Coverage-guided fuzzing (atheris) of `_parse_summary` and of the transcript.
# Usage: scripts/fuzz.sh SECONDS_PER_TARGET [CORPUS_ROOT]
# New inputs go to CORPUS_ROOT/<target> (a temporary directory by default);
# the seeds in fuzz/seeds/<target> are read as well. A disagreement with the
# reference, a crash or a leak leaves its input in CORPUS_ROOT/artifacts.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="$root/.venv/bin/python"
seconds="${1:-60}"
corpus_root="${2:-$(mktemp -d -t korbix-fuzz.XXXXXX)}"
mkdir -p "$corpus_root/artifacts"
status=0
for target in parse transcript; do
    mkdir -p "$corpus_root/$target"
    log="$corpus_root/$target.log"
    # KORBIX_FUZZ_RUNS and KORBIX_FUZZ_SEED make a run repeatable (as CI wants it).
    if PYTHONHASHSEED="${PYTHONHASHSEED:-0}" "$python" "$root/fuzz/fuzz_$target.py" -max_total_time="$seconds" \
        ${KORBIX_FUZZ_RUNS:+-runs=$KORBIX_FUZZ_RUNS} ${KORBIX_FUZZ_SEED:+-seed=$KORBIX_FUZZ_SEED} -timeout=30 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$corpus_root/artifacts/$target-" \
        "$corpus_root/$target" "$root/fuzz/seeds/$target" >"$log" 2>&1; then
        echo "fuzz $target: $(grep -E '^Done [0-9]+ runs' "$log" | tail -1) (log: $log)"
    else
        status=1
        tail -40 "$log"
        echo "fuzz $target: FAILED (log: $log, inputs in $corpus_root/artifacts)"
    fi
done
exit $status
