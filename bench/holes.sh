#!/usr/bin/env bash
# Holes inside a continuous tone: a 1 kHz tone at -6 dBFS plays into the
# default sink (quorbel_out) for the whole run while the tool and parec
# record its monitor side by side. A hole is a run of 4 or more all-zero
# frames after the first sound. Target: none in 10 minutes.
#
#   DURATION=600 bench/holes.sh      (QUORBEL_TEST_SERVER=pipewire for PipeWire)
#
# On PipeWire, every stream's fragment pulls the whole graph's cycle down to
# it: parec's own 10 ms then costs both streams holes on a machine without
# real-time scheduling. There parec reads at 20 ms unless PAREC_LATENCY_MS
# says otherwise, which keeps it out of the way.
#
# COMPARE_TOOL=/path/to/another/build/quorbel records with that build too, in
# the same run: the server's trouble comes and goes between runs, so two
# builds are best told apart on the same audio.
#
# STALL_MS=30 STALL_EVERY=5 freezes the server for 30 ms every 5 s (the first
# after 10 s), as a server on a loaded machine now and then misses its cycle:
# a hold-up a little longer than what the tool's reserve and grace cover.
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
need_programs
under_private_server "$@"

# One row of the table; a figure the probe does not give a reader shows as "-".
print_row() {  # FIGURES LABEL
    printf '%-8s %6s %6s %12s %8s\n' "$2" "$(figure "$1" "$2" holes)" "$(figure "$1" "$2" own_holes)" \
        "$(figure "$1" "$2" longest_hole_ms)" "$(figure "$1" "$2" drops)"
}

main() {
    local rate figures label
    local -a compare=() labels=(quorbel)
    if [[ $(server_name) == *PipeWire* ]]; then
        PAREC_LATENCY_MS=${PAREC_LATENCY_MS:-20}
    fi
    start_player quorbel_out 44100 0 tone:1000:-6
    rate=$(sink_rate quorbel_out)
    figures=$work_dir/probe.txt
    if [[ -n ${COMPARE_TOOL:-} ]]; then
        compare=("tool:compare:$COMPARE_TOOL capture macos-system-audio")
        labels+=(compare)
    fi
    start_stalls_if_asked
    run_probe "$figures" --seconds "$DURATION" "$(tool_stream quorbel capture macos-system-audio)" \
        "${compare[@]}" "$(parec_stream parec quorbel_out.monitor "$rate")"
    stop_background
    print_conditions "holes: continuous 1 kHz tone, -6 dBFS, into quorbel_out at $rate Hz$(stalls_told)"
    printf '%-8s %6s %6s %12s %8s\n' "" holes own longest_ms drops
    for label in "${labels[@]}" parec; do
        print_row "$figures" "$label"
    done
    echo "own: the tool's holes that parec did not have as long (the rest were in the monitor's audio);"
    echo "each own_hole below gives the longest parec waited for audio within half a second of it, and the"
    echo "longest the machine stalled then"
    echo "target: 0 holes inside a continuous tone over 10 minutes"
    print_details "$figures"
}

main
