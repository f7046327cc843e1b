#!/usr/bin/env bash
# Runs a command under a private, headless sound server of its own and exits
# with the command's status. The server lives in a fresh run directory, listens
# only on its own sockets, never touches the user's server or configuration,
# and is stopped (by PID) however this script ends.
#
#   [QUORBEL_TEST_SERVER=pulseaudio|pipewire] private-server.sh COMMAND [ARGS...]
#
# QUORBEL_TEST_SERVER picks the server (default pulseaudio): PulseAudio itself
# (private-pulseaudio.sh), or PipeWire with WirePlumber and pipewire-pulse
# (private-pipewire.sh). Either way the command sees the same devices:
#   quorbel_out       null sink at 44100 Hz, the default sink
#   quorbel_mic_sink  null sink at 48000 Hz, feeding...
#   quorbel_mic       a plain (non-monitor) source remapped from
#                     quorbel_mic_sink.monitor, the default source
#
# The command sees PULSE_SERVER, PULSE_CLIENTCONFIG, the private
# XDG_RUNTIME_DIR/HOME, QUORBEL_TEST_SERVER (the server's name) and
# QUORBEL_SERVER_CONTROL, an executable that stops, starts, restarts or kills
# the server while the command runs (see server-control.sh). With
# QUORBEL_PULSE_STRICT=1 PulseAudio takes no anonymous clients, and other users
# can reach its socket (to be refused by the server itself rather than by the
# file system); pipewire-pulse authenticates no client, so it ignores this.
# QUORBEL_SERVER_TIMING=1 prints how long the server took to be ready.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [[ $# -eq 0 ]]; then
    echo "usage: [QUORBEL_TEST_SERVER=pulseaudio|pipewire] $0 COMMAND [ARGS...]" >&2
    exit 2
fi
server_name=${QUORBEL_TEST_SERVER:-pulseaudio}
case "$server_name" in
    pulseaudio | pipewire) ;;
    *)
        echo "private-server.sh: QUORBEL_TEST_SERVER must be pulseaudio or pipewire, not '$server_name'" >&2
        exit 2
        ;;
esac

# ---- Processes of the server, each tracked by a PID file in the run directory --------

# Every server process is a child of this script, whoever asked for it (the
# control requests are served here too), so that the parent-death signal ends
# it even if this script is killed outright.
launcher=()
if command -v setpriv >/dev/null; then
    launcher=(setpriv --pdeathsig TERM)
fi
# QUORBEL_SERVER_REALTIME=1 runs the server's processes at real-time priority
# (round robin, 20), where the machine allows it, as a desktop's rtkit gives
# PipeWire's; without it, a busy machine holds them up like any other process.
# PulseAudio sets its own either way: its device threads real-time, its main
# thread not, as on a desktop.
if [[ "${QUORBEL_SERVER_REALTIME:-0}" == 1 ]] && chrt -r 20 true 2>/dev/null; then
    launcher+=(chrt -r 20)
fi

# launch NAME COMMAND... : starts a server process, its output in NAME.log.
# Disowned, so that bash does not report it killed; it still reaps it.
launch() {
    local name=$1
    shift
    "${launcher[@]}" "$@" </dev/null >>"$dir/$name.log" 2>&1 &
    echo "$!" >"$dir/pids/$name"
    disown "$!"
}

# The PID of a tracked process that is still ours and not yet ended ("" when
# none): checking that we are its parent guards against a recycled PID.
tracked_pid() {
    local file="$dir/pids/$1" pid stat rest
    [[ -f "$file" ]] || return 0
    pid=$(<"$file")
    [[ -r "/proc/$pid/stat" ]] || return 0
    stat=$(<"/proc/$pid/stat") || return 0
    rest=${stat##*) }  # past the command name, which may hold spaces
    local state ppid
    read -r state ppid _ <<<"$rest"
    if [[ "$ppid" == "$$" && "$state" != Z ]]; then
        echo "$pid"
    fi
}

running() { [[ -n "$(tracked_pid "$1")" ]]; }

# gone NAME TICKS : waits up to TICKS × 20 ms for a tracked process to end.
gone() {
    local name=$1 ticks=$2
    for _ in $(seq 1 "$ticks"); do
        running "$name" || return 0
        sleep 0.02
    done
    ! running "$name"
}

# end_process NAME SIGNAL : signals a tracked process and waits until it is
# gone; one that outlasts the signal by five seconds gets a KILL.
end_process() {
    local name=$1 signal=$2 pid
    pid=$(tracked_pid "$name")
    [[ -z "$pid" ]] || kill "-$signal" "$pid" 2>/dev/null || true
    if ! gone "$name" 250; then
        pid=$(tracked_pid "$name")
        [[ -z "$pid" ]] || kill -KILL "$pid" 2>/dev/null || true
        gone "$name" 250 || echo "private-server.sh: $name (PID $pid) would not end" >&2
    fi
    rm -f "$dir/pids/$name"
}

# wait_for SECONDS DESCRIPTION TEST... : polls the test until it passes (0);
# fails at once when it says it never will (2), or on time-out saying what
# was awaited.
wait_for() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds)) result
    while :; do
        result=0
        "$@" || result=$?
        case $result in
            0) return 0 ;;
            2) return 1 ;;
        esac
        if ((SECONDS >= deadline)); then
            echo "private-server.sh: $server_name: timed out waiting for $what" >&2
            return 1
        fi
        sleep 0.01
    done
}

pulse_answers() { pactl info >/dev/null 2>&1; }
pulse_refuses() { ! pulse_answers; }
defaults_are_ours() {
    local info
    info=$(pactl info 2>/dev/null) || return 1
    [[ "$info" == *$'\nDefault Sink: quorbel_out\n'* && "$info" == *$'\nDefault Source: quorbel_mic\n'* ]]
}

# ---- The run directory and the environment the server and the command share ---------

if [[ "$server_name" == pipewire ]]; then
    source "$here/private-pipewire.sh"
else
    source "$here/private-pulseaudio.sh"
fi
server_check_tools || exit 2

dir=$(mktemp -d "${TMPDIR:-/tmp}/quorbel-$server_name.XXXXXX")
command_pid=""
control_pending=""

finish() {
    server_stop_all
    rm -rf "$dir"
}
# A signal goes on to the command, then the server is stopped on the way out.
on_signal() {
    if [[ -n "$command_pid" ]]; then
        kill "-$1" "$command_pid" 2>/dev/null || true
        wait "$command_pid" 2>/dev/null || true
    fi
    exit "$2"
}
trap finish EXIT
trap 'on_signal INT 130' INT
trap 'on_signal TERM 143' TERM
trap 'control_pending=yes' USR1

mkdir -p "$dir/runtime" "$dir/state" "$dir/home" "$dir/pids" "$dir/control"
chmod 700 "$dir" "$dir/runtime"

cat >"$dir/client.conf" <<EOF
autospawn = no
EOF

export XDG_RUNTIME_DIR="$dir/runtime"
export HOME="$dir/home"
export PULSE_RUNTIME_PATH="$dir/runtime"
export PULSE_STATE_PATH="$dir/state"
export PULSE_CLIENTCONFIG="$dir/client.conf"
export PULSE_SERVER="unix:$dir/native"
export QUORBEL_TEST_SERVER="$server_name"
export QUORBEL_SERVER_CONTROL="$dir/control/server"
# No cookie: the socket takes anonymous clients, and a user's cookie must not leak in.
unset PULSE_COOKIE PULSE_SINK PULSE_SOURCE PIPEWIRE_REMOTE

server_configure

# start_server / stop_server / kill_server: the whole server, ready or gone.
start_server() {
    if server_any_running; then
        echo "private-server.sh: $server_name is already running; stop it first" >&2
        return 1
    fi
    # A killed server leaves its socket behind: clear the path for the new one.
    rm -f "$dir/native"
    # A start that fails stops what it started, so that the next can begin afresh.
    if ! server_start || ! wait_for 10 "the default sink and source" defaults_are_ours; then
        server_stop
        return 1
    fi
}

stop_server() {
    server_stop
    rm -f "$dir/native"
    wait_for 10 "the socket to refuse connections" pulse_refuses
}

kill_server() {
    server_kill
    wait_for 10 "the socket to refuse connections" pulse_refuses
}

# stall_server [MS]: freezes the server for MS milliseconds (150 unless
# given), as one that misses its deadlines on a loaded machine does, then
# lets it go on where it was.
stall_server() {
    local name pid pids=() ms=${1:-150}
    for name in $(server_processes); do
        pid=$(tracked_pid "$name")
        [[ -z "$pid" ]] || pids+=("$pid")
    done
    if [[ ${#pids[@]} -eq 0 ]]; then
        echo "private-server.sh: no server to stall" >&2
        return 1
    fi
    kill -STOP "${pids[@]}"
    sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
    kill -CONT "${pids[@]}"
}

# ---- Control requests from server-control.sh ---------------------------------------
# The request comes as a file and a SIGUSR1; the answer goes back as a file:
# its first line the status, then the messages.
serve_control() {
    local request status=0
    [[ -f "$dir/control/request" ]] || return 0
    request=$(<"$dir/control/request")
    rm -f "$dir/control/request"
    case "$request" in
        stop) stop_server 2>"$dir/control/messages" || status=$? ;;
        start) start_server 2>"$dir/control/messages" || status=$? ;;
        restart) { stop_server && start_server; } 2>"$dir/control/messages" || status=$? ;;
        kill) kill_server 2>"$dir/control/messages" || status=$? ;;
        stall) stall_server 2>"$dir/control/messages" || status=$? ;;
        "stall "*) stall_server "${request#stall }" 2>"$dir/control/messages" || status=$? ;;
        *)
            echo "private-server.sh: unknown control request '$request'" >"$dir/control/messages"
            status=2
            ;;
    esac
    { echo "$status" && cat "$dir/control/messages"; } >"$dir/control/answer.new"
    mv "$dir/control/answer.new" "$dir/control/answer"
}

cat >"$dir/control/server" <<EOF
#!/usr/bin/env bash
exec bash $(printf '%q' "$here/server-control.sh") $(printf '%q' "$dir/control") $$ "\$@"
EOF
chmod 755 "$dir/control/server"

started_at=$EPOCHREALTIME
if ! start_server; then
    echo "private-server.sh: the private $server_name server did not start; its logs:" >&2
    server_log_tail >&2
    exit 1
fi
if [[ -n "${QUORBEL_SERVER_TIMING:-}" ]]; then
    started_at=${started_at/./}
    ready_at=${EPOCHREALTIME/./}
    echo "private-server.sh: $server_name ready in $(((ready_at - started_at) / 1000)) ms" >&2
fi

# In the background so that a signal to this script is handled at once; the
# explicit redirection keeps the caller's standard input for the command, and
# the trap reset lets SIGINT reach it (bash has background jobs ignore it). A
# control request interrupts the wait, is served, and the wait goes on.
(
    trap - INT QUIT
    exec "$@"
) <&0 &
command_pid=$!
while :; do
    if [[ -n "$control_pending" ]]; then
        control_pending=""
        serve_control
    fi
    status=0
    wait "$command_pid" || status=$?
    [[ -n "$control_pending" ]] || break
done
command_pid=""
if [[ $status -ne 0 ]]; then
    if ! server_any_running; then
        echo "private-server.sh: the server had ended before the command did" >&2
    fi
    echo "private-server.sh: the command failed (status $status); the server's logs end:" >&2
    server_log_tail >&2
fi
exit "$status"
