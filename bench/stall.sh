#!/usr/bin/env bash
# A server that stalls: as bench/latency.sh (20 ms bursts into quorbel_out,
# the tool and parec timing them on its monitor), while the private server
# is frozen for 150 ms every STALL_EVERY seconds (SIGSTOP, SIGCONT). Each
# stall outlasts what the tool waits for a late fragment, so it leaves a hole
# and queues the audio that follows; the listed latencies show how long the
# tool takes to let that queue go again.
#
#   DURATION=600 STALL_EVERY=120 EVERY=5 bench/stall.sh
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
EVERY=${EVERY:-5}               # seconds between the latencies listed
STALL_EVERY=${STALL_EVERY:-120}  # seconds between stalls, the first after 20 s
need_programs
under_private_server "$@"

stall_now_and_then() {
    sleep 20
    while :; do
        echo "stall at $(date +%s.%N)"
        "$QUORBEL_SERVER_CONTROL" stall
        sleep "$STALL_EVERY"
    done
}

main() {
    local rate figures=$work_dir/probe.txt
    start_timed_player quorbel_out 44100 bursts:1000:-6:503:20
    rate=$(sink_rate quorbel_out)
    start_background stalls stall_now_and_then
    run_probe "$figures" --seconds "$DURATION" --events 1000 --period-ms 503 --every "$EVERY" \
        "$(tool_stream quorbel capture macos-system-audio)" \
        "$(parec_stream parec quorbel_out.monitor "$rate")"
    stop_background
    print_conditions "stalls: 150 ms every $STALL_EVERY s; 20 ms bursts every 503 ms into quorbel_out at $rate Hz"
    print_latency_table "$figures"
    echo "-- the tool's latency over the run (seconds, ms); stalls at 20 s and every $STALL_EVERY s after"
    print_latency_series "$figures"
}

main
