#!/usr/bin/env bash
# A mixed capture whose sources' clocks drift apart: the system sink (a
# pipe sink, the default) runs SYSTEM_PPM off the host clock and the
# microphone (a pipe source) MIC_PPM. Both sound a 30 ms burst at the same
# host times, on every whole second of the monotonic clock: 1000 Hz from the
# system, 2500 Hz from the microphone. The probe finds both in the tool's
# output and follows the offset between them. Target: it stays within 5 ms
# of its start over 10 minutes.
#
# Where the offset starts is mostly the devices' own: the pipe sink holds
# from a few milliseconds to most of a second of the player's audio,
# depending on the run. parec on each device, timed on the same bursts,
# tells the devices' offset, and what the tool adds to it.
#
#   DURATION=600 SYSTEM_PPM=+300 MIC_PPM=-300 EVERY=30 bench/mixed.sh
#
# STALL_MS=80 STALL_EVERY=1.5 freezes the server that often meanwhile, as
# a busy machine does (see common.sh).
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
need_programs
under_private_server "$@"

SYSTEM_PPM=${SYSTEM_PPM:-+300}
MIC_PPM=${MIC_PPM:--300}
EVERY=${EVERY:-30}  # seconds between the offsets listed
sink=quorbel_drift_sink
microphone=quorbel_drift_mic
system_bursts=bursts:1000:-12:1000:30
microphone_bursts=bursts:2500:-12:1000:30

# The devices' offset, microphone - system, from parec's median latencies
# (each finds one frequency: the system's first, the microphone's second),
# and the tool's start offset less it, both folded into half a period either
# way (a latency is timed from the latest whole second).
print_own_offset() {  # FIGURES
    awk 'function fold(ms) { while (ms > 500) ms -= 1000; while (ms < -500) ms += 1000; return ms }
         $2 == "latency_p50_ms" { n[$1]++; p50[$1 "," n[$1]] = $3 }
         $1 == "quorbel" && $2 == "offset_start_ms" { tool = $3 }
         END {
             devices = fold(p50["parec_microphone,2"] - p50["parec_system,1"])
             own = fold(tool - devices)
             printf "the devices'"'"' own offset (parec on each): %.1f ms; the tool'"'"'s own share of its start offset:" \
                    " %.1f ms (parec'"'"'s latencies wander by a fragment, 10 ms)\n", devices, own
         }' "$1"
}

main() {
    local figures=$work_dir/probe.txt
    start_drifting_sink "$sink" "$SYSTEM_PPM"
    start_drifting_microphone "$microphone" "$MIC_PPM" "$microphone_bursts"
    pactl set-default-sink "$sink"
    start_player "$sink" 48000 "$SYSTEM_PPM" "$system_bursts"
    start_stalls_if_asked
    run_probe "$figures" --seconds "$DURATION" --events 1000,2500 --event-dbfs -12 --pair-offsets \
        --period-ms 1000 --every "$EVERY" "$(tool_stream quorbel capture-mixed macos-system-audio "$microphone")" \
        "$(parec_stream parec_system "$sink.monitor" 48000)" "$(parec_stream parec_microphone "$microphone" 48000)"
    stop_background  # the devices write their reports as they stop
    print_conditions "mixed: system sink at $SYSTEM_PPM ppm, microphone at $MIC_PPM ppm, a burst each every \
second$(stalls_told)"
    warn_unless_devices_drift
    echo "bursts paired: $(figure "$figures" quorbel offset_pairs) (system $(figure "$figures" quorbel events_1000)," \
         "microphone $(figure "$figures" quorbel events_2500))"
    echo "offset microphone - system at start: $(figure "$figures" quorbel offset_start_ms) ms"
    print_own_offset "$figures"
    echo "largest change from the start: $(figure "$figures" quorbel offset_max_change_ms) ms;" \
         "at the end: $(figure "$figures" quorbel offset_end_change_ms) ms"
    echo "drops: system $(figure "$figures" quorbel drops), microphone $(figure "$figures" quorbel microphone_drops)"
    echo "target: the offset stays within 5 ms of its start over 10 minutes"
    echo "the system sink's reader: $(cat "$work_dir/sink-$sink.log")"
    echo "the microphone's writer: $(cat "$work_dir/mic-$microphone.log")"
    echo "-- offset over the run (seconds, ms)"
    awk '$2 == "offset_at" { printf "   %8.1f %9.3f\n", $3, $4 }' "$figures"
    print_details "$figures"
}

main
