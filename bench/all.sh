#!/usr/bin/env bash
# Every continuity bench in turn, each under a private server of its own:
# holes, drift, mixed, latency, stall, start-up. DURATION (default 600 s) applies to
# each measured run; drift.sh makes one per clock error in PPMS.
#
#   DURATION=600 bench/all.sh 2>&1 | tee bench-results.txt
set -euo pipefail
here=$(dirname "$0")

for bench in holes drift mixed latency stall startup; do
    bash "$here/$bench.sh"
    echo
done
