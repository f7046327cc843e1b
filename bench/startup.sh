#!/usr/bin/env bash
# Start-up: with a 1 kHz tone playing into the default sink (quorbel_out),
# the time from starting the tool (fork and exec) to the arrival of its first
# non-zero sample on standard output; the same for parec (--raw
# --latency-msec=10) on the sink's monitor. RUNS runs of each, alternately.
#
#   RUNS=10 bench/startup.sh
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
need_programs
under_private_server "$@"

RUNS=${RUNS:-10}

# One start: prints the milliseconds to the first sound ("-" if none came).
first_sound() {  # LABEL STREAM
    local figures=$work_dir/once.txt
    run_probe "$figures" --seconds 5 --until-sound "$2"
    figure "$figures" "$1" first_sound_ms
}

# One line: LABEL, then min, median and max of the numbers on standard input.
summary() {  # LABEL
    sort -g | awk -v label="$1" '{ v[NR] = $1 }
        END { if (NR == 0) { printf "%-8s %8s %8s %8s\n", label, "-", "-", "-"; exit }
              printf "%-8s %8.1f %8.1f %8.1f\n", label, v[1], v[int((NR + 1) / 2)], v[NR] }'
}

main() {
    local rate i tool_times=$work_dir/tool.txt parec_times=$work_dir/parec.txt
    start_player quorbel_out 44100 0 tone:1000:-6
    rate=$(sink_rate quorbel_out)
    : >"$tool_times"
    : >"$parec_times"
    for ((i = 0; i < RUNS; i++)); do
        first_sound quorbel "$(tool_stream quorbel capture macos-system-audio)" >>"$tool_times"
        first_sound parec "$(parec_stream parec quorbel_out.monitor "$rate")" >>"$parec_times"
    done
    print_conditions "start-up: process start to first non-zero sample on stdout" "$RUNS runs each"
    printf '%-8s %8s %8s %8s\n' "" min_ms median_ms max_ms
    grep -v '^-$' "$tool_times" | summary quorbel
    grep -v '^-$' "$parec_times" | summary parec
    echo "runs without sound within 5 s: quorbel $(grep -c '^-$' "$tool_times" || true)," \
         "parec $(grep -c '^-$' "$parec_times" || true)"
    echo "parec: $(parec_stream parec quorbel_out.monitor "$rate" | cut -d: -f4-)"
}

main
