#!/usr/bin/env bash
# A sink whose clock drifts from the host's: a pipe sink, made the default,
# is read at 48000 * (1 + ppm/1e6) frames per second while a 1 kHz tone at
# -6 dBFS plays into it; the tool and parec record its monitor side by side,
# once for each clock error in PPMS. parec's rate shows the drift itself.
# Targets over 10 minutes: 0 holes, 0 drops, and the tool's byte count
# within 2 blocks (2 x rate/50 frames) of rate x time since its FORMAT line.
# A stall of the whole machine holds up the tool and the probe alike; the
# blocks missed follow at once. caught_up shows the count without such
# stalls: behind as the count stood best in each second.
#
#   DURATION=600 PPMS="+300 -300" bench/drift.sh
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
need_programs
under_private_server "$@"

PPMS=${PPMS:-+300 -300}
sink=quorbel_drift_sink

# Worst departure from rate x elapsed, either way, in blocks; behind as
# BEHIND (pace_behind_blocks or pace_caught_up_behind_blocks) measures it.
worst_blocks() {  # FILE BEHIND
    awk -v behind="$2" '$1 == "quorbel" && ($2 == "pace_ahead_blocks" || $2 == behind) && $3 > worst { worst = $3 }
         END { printf "%.2f\n", worst }' "$1"
}

measure() {  # PPM FIGURES
    start_drifting_sink "$sink" "$1"
    pactl set-default-sink "$sink"
    start_player "$sink" 48000 "$1" tone:1000:-6
    run_probe "$2" --seconds "$DURATION" "$(tool_stream quorbel capture macos-system-audio)" \
        "$(parec_stream parec "$sink.monitor" 48000)"
    stop_background
    pactl set-default-sink quorbel_out
    mv "$work_dir/sink-$sink.log" "$work_dir/device$1.txt"
}

report() {  # PPM FIGURES
    printf '%+6.0f ppm %14s %6s %6s %6s %12s %10s %10s %12s\n' "$1" "$(figure "$2" parec rate_ppm)" \
        "$(figure "$2" quorbel holes)" "$(figure "$2" parec holes)" "$(figure "$2" quorbel own_holes)" \
        "$(figure "$2" quorbel drops)" \
        "$(worst_blocks "$2" pace_behind_blocks)" "$(worst_blocks "$2" pace_caught_up_behind_blocks)" \
        "$(figure "$2" quorbel rate_ppm)"
}

main() {
    local ppm
    for ppm in $PPMS; do
        measure "$ppm" "$work_dir/probe$ppm.txt"
    done
    print_conditions "drift: pipe sink read at 48000 x (1 + ppm/1e6) frames/s, 1 kHz tone at -6 dBFS"
    warn_unless_devices_drift
    printf '%10s %14s %6s %6s %6s %12s %10s %10s %12s\n' "sink" "monitor_ppm" "holes" "parec" "own" "drops" \
        "worst_blk" "caught_up" "output_ppm"
    for ppm in $PPMS; do
        report "$ppm" "$work_dir/probe$ppm.txt"
    done
    echo "monitor_ppm: the monitor's rate as parec got it; holes: the tool's (parec: parec's);"
    echo "own: the tool's holes that parec did not have as long (the rest were in the monitor's audio);"
    echo "worst_blk: the tool's byte count against rate x elapsed, worst either way, in blocks;"
    echo "caught_up: the same, behind taken where each second's count stood best (a stall of the"
    echo "whole machine, made up at once, does not count)"
    echo "targets over 10 minutes: 0 holes, 0 drops, worst_blk <= 2"
    for ppm in $PPMS; do
        echo "-- sink at $ppm ppm; the reader: $(cat "$work_dir/device$ppm.txt")"
        print_details "$work_dir/probe$ppm.txt"
    done
}

main
