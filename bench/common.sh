# shellcheck shell=bash
# Sourced by the bench scripts (holes.sh, drift.sh, mixed.sh, latency.sh,
# startup.sh): where the programs are, the private server, the background
# devices and players, and reading the probe's figures.
#
# Each script runs itself again under tests/pulse/private-server.sh, which
# picks the sound server from QUORBEL_TEST_SERVER (passed on untouched), so
# the same script measures PulseAudio or PipeWire. Everything a script starts
# in the background is stopped, newest first, however the script ends; the
# drifting devices unload their own modules when stopped.
#
# Environment: DURATION (seconds measured, default 600), QUORBEL_BUILD (the
# build directory, default build/ at the top of the tree), and for the server
# QUORBEL_TEST_SERVER and QUORBEL_SERVER_REALTIME (tests/pulse/private-server.sh).

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUORBEL_BUILD:-$bench_root/build}
tool=$build/quorbel
drift_pipe=$build/tests/pulse/quorbel_drift_pipe
probe=$build/tests/pulse/quorbel_stream_probe
DURATION=${DURATION:-600}
background=()
probe_pid=""
work_dir=""

need_programs() {
    local program
    for program in "$tool" "$drift_pipe" "$probe"; do
        if [[ ! -x $program ]]; then
            echo "$program is missing; build it with:" >&2
            echo "  cmake --build ${build} -j2 --target quorbel quorbel_drift_pipe quorbel_stream_probe" >&2
            exit 2
        fi
    done
    if ! [[ $DURATION =~ ^[0-9]+([.][0-9]+)?$ ]]; then
        echo "DURATION must be a number of seconds, not '$DURATION'" >&2
        exit 2
    fi
}

# Re-runs the calling script under a private server of its own, once.
under_private_server() {
    if [[ -z ${QUORBEL_BENCH_UNDER_SERVER:-} ]]; then
        export QUORBEL_BENCH_UNDER_SERVER=1
        exec bash "$bench_root/tests/pulse/private-server.sh" bash "$0" "$@"
    fi
    work_dir=$(mktemp -d "${TMPDIR:-/tmp}/quorbel-bench.XXXXXX")
    trap cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

cleanup() {
    if [[ -n $probe_pid ]]; then
        stop_pid "$probe_pid"  # its tool and parec end with their pipes
    fi
    stop_background
    pactl set-default-sink quorbel_out >/dev/null 2>&1 || true
    if [[ -n $work_dir ]]; then
        rm -rf "$work_dir"
    fi
}

# start_background NAME COMMAND...: output goes to $work_dir/NAME.out and .log.
start_background() {
    local name=$1
    shift
    "$@" >"$work_dir/$name.out" 2>"$work_dir/$name.log" &
    background+=("$!")
}

# STALL_MS=30 STALL_EVERY=5 freezes the server for STALL_MS ms every
# STALL_EVERY s (default 5; the first after 10 s), as a server on a loaded
# machine now and then misses its cycle. Nothing without STALL_MS.
stall_every_now_and_then() {
    sleep 10
    while :; do
        "$QUORBEL_SERVER_CONTROL" stall "$STALL_MS"
        sleep "${STALL_EVERY:-5}"
    done
}

start_stalls_if_asked() {
    if [[ -n ${STALL_MS:-} ]]; then
        start_background stalls stall_every_now_and_then
    fi
}

# What the stalls asked for were, for the conditions line ("; server frozen ...").
stalls_told() {
    if [[ -n ${STALL_MS:-} ]]; then
        echo "; server frozen for $STALL_MS ms every ${STALL_EVERY:-5} s"
    fi
}

# Asks each to stop (SIGTERM, so devices unload their modules), then makes sure.
stop_pid() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 30); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# Newest first: players go before the devices they play into.
stop_background() {
    local i
    for ((i = ${#background[@]} - 1; i >= 0; i--)); do
        stop_pid "${background[i]}"
    done
    background=()
}

# wait_for_device sinks|sources NAME
wait_for_device() {
    for _ in $(seq 1 100); do
        pactl list short "$1" 2>/dev/null | cut -f2 | grep -qx "$2" && return 0
        sleep 0.1
    done
    echo "the $1 list never showed $2" >&2
    exit 1
}

# A sink or source running PPM off the host clock (see tests/pulse/DriftDevices.h).
start_drifting_sink() {  # NAME PPM
    start_background "sink-$1" "$drift_pipe" sink "$1" "$2"
    wait_for_device sinks "$1"
}
start_drifting_microphone() {  # NAME PPM SIGNAL
    start_background "mic-$1" "$drift_pipe" microphone "$1" "$2" "$3"
    wait_for_device sources "$1"
}
start_player() {  # SINK RATE PPM SIGNAL
    start_background "play-$1" "$drift_pipe" play "$@"
    sleep 0.5  # let the sink start playing
}
start_timed_player() {  # SINK RATE SIGNAL
    start_background "timed-$1" "$drift_pipe" play-timed "$@"
    sleep 0.5
}

# The current rate of a sink, from pactl's short list ("s16le 2ch 44100Hz").
sink_rate() {
    pactl list short sinks |
        awk -F'\t' -v name="$1" '$2 == name { n = split($4, spec, " "); sub("Hz", "", spec[n]); print spec[n] }'
}

server_name() {
    pactl info | sed -n 's/^Server Name: //p'
}

# Server-specific: pipewire-pulse (0.3.65) runs its pipe modules on the
# graph's clock, so the FIFOs do not set the rate and the devices do not
# drift there; a pipe source written slowly even fills underruns with
# silence. Same check as PipeDevicesKeepTheirOwnClock in DriftDevices.cpp.
drifting_devices_work_here() {
    [[ $(server_name) != *PipeWire* ]]
}

warn_unless_devices_drift() {
    if ! drifting_devices_work_here; then
        echo "WARNING: on $(server_name) the pipe devices run on the server's clock, not their FIFO's:" \
             "these figures show no drift, and a slow pipe source has holes of its own"
    fi
}

# run_probe OUTPUT ARGUMENTS...: the probe runs in the background, so that a
# signal to the script is handled at once rather than after the measurement.
run_probe() {
    local output=$1
    shift
    "$probe" "$@" >"$output" &
    probe_pid=$!
    wait "$probe_pid"
    probe_pid=""
}

# A probe stream for parec on a device, with a 10 ms fragment like the tool's
# (PAREC_LATENCY_MS for another).
parec_stream() {  # LABEL DEVICE RATE
    echo "raw:$3:$1:parec --raw --device=$2 --format=s16le --rate=$3 --channels=2 --latency-msec=${PAREC_LATENCY_MS:-10}"
}
tool_stream() {  # LABEL TOOL-ARGUMENTS...
    local label=$1
    shift
    echo "tool:$label:$tool $*"
}

# figure FILE LABEL KEY: one figure from the probe's output ("-" if absent).
figure() {
    awk -v label="$2" -v key="$3" '$1 == label && $2 == key { print $3; found = 1 } END { if (!found) print "-" }' "$1"
}

print_conditions() {  # TITLE [EXTENT]
    echo "== $1"
    echo "server: $(server_name) $(pactl info | sed -n 's/^Server Version: //p');" \
         "${2:-$DURATION s measured}; $(date -u '+%Y-%m-%d %H:%M UTC');" \
         "load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
}

# The probe's lines about holes and onsets, for the record.
print_details() {  # FILE
    echo "machine: $(figure "$1" machine stalls_20ms) stalls of 20 ms or more, the longest" \
         "$(figure "$1" machine longest_stall_ms) ms, as a $(figure "$1" machine watch) thread saw them" \
         "(one at real-time priority waits only for the whole machine, a virtual machine's host, say)"
    echo "-- probe figures"
    sed 's/^/   /' "$1"
}

# The latency of the 1 kHz bursts for the tool and parec, from the probe's figures.
print_latency_table() {  # FIGURES
    printf '%-8s %8s %8s %8s %8s\n' "" bursts p50_ms p95_ms max_ms
    local label
    for label in quorbel parec; do
        printf '%-8s %8s %8s %8s %8s\n' "$label" "$(figure "$1" "$label" events_1000)" \
            "$(figure "$1" "$label" latency_p50_ms)" "$(figure "$1" "$label" latency_p95_ms)" \
            "$(figure "$1" "$label" latency_max_ms)"
    done
}

# The tool's latency over the run, one line per listed burst: seconds, ms.
print_latency_series() {  # FIGURES
    awk '$1 == "quorbel" && $2 == "latency_at" { printf "   %8.1f %9.3f\n", $3, $4 }' "$1"
}
