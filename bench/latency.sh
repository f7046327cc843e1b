#!/usr/bin/env bash
# Sound-to-stdout latency: a player with a ~10 ms buffer writes a 20 ms
# 1 kHz burst into the default sink (quorbel_out) on every whole multiple of
# 503 ms of the monotonic clock (not a multiple of the tool's 20 ms blocks,
# so that the bursts fall on every part of a block). The tool and parec
# record its monitor side by side, and the probe times each burst's first
# frame as it reaches their standard output. Both figures include the
# player's own buffer alike.
#
#   DURATION=600 EVERY=30 bench/latency.sh
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
EVERY=${EVERY:-30}  # seconds between the latencies listed
need_programs
under_private_server "$@"

main() {
    local rate figures=$work_dir/probe.txt
    start_timed_player quorbel_out 44100 bursts:1000:-6:503:20
    rate=$(sink_rate quorbel_out)
    run_probe "$figures" --seconds "$DURATION" --events 1000 --period-ms 503 --every "$EVERY" \
        "$(tool_stream quorbel capture macos-system-audio)" \
        "$(parec_stream parec quorbel_out.monitor "$rate")"
    stop_background
    print_conditions "latency: 20 ms bursts every 503 ms into quorbel_out at $rate Hz, player buffer ~10 ms"
    print_latency_table "$figures"
    echo "parec: $(parec_stream parec quorbel_out.monitor "$rate" | cut -d: -f4-)"
    echo "the player: $(cat "$work_dir/timed-quorbel_out.log")"
    echo "-- the tool's latency over the run (seconds, ms): a step up is a stall that outlasted the grace"
    print_latency_series "$figures"
    print_details "$figures"
}

main
