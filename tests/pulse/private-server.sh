#!/usr/bin/env bash
# Runs a command under a private, headless PulseAudio server of its own and
# exits with the command's status. The server lives in a fresh runtime
# directory, listens only on its own socket, never touches the user's server,
# and is stopped (by its PID) however this script ends.
#
#   private-server.sh COMMAND [ARGS...]
#
# The command sees PULSE_SERVER, PULSE_CLIENTCONFIG and the private
# XDG_RUNTIME_DIR/HOME. With QUORBEL_PULSE_STRICT=1 the server takes no
# anonymous clients, and other users can reach its socket (to be refused by
# the server itself rather than by the file system). Devices:
#   quorbel_out       null sink at 44100 Hz, the default sink
#   quorbel_mic_sink  null sink at 48000 Hz, feeding...
#   quorbel_mic       a plain (non-monitor) source remapped from
#                     quorbel_mic_sink.monitor, the default source
set -euo pipefail

if [[ $# -eq 0 ]]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi
if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    echo "private-server.sh: pulseaudio and pactl are needed (apt-get install pulseaudio pulseaudio-utils)" >&2
    exit 2
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/quorbel-pulse.XXXXXX")
server_pid=""
command_pid=""

stop_server() {
    if [[ -n "$server_pid" ]] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid" 2>/dev/null || true
        # Give it a moment to leave on its own, then make sure.
        for _ in $(seq 1 50); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    server_pid=""
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
trap stop_server EXIT
trap 'on_signal INT 130' INT
trap 'on_signal TERM 143' TERM

mkdir -p "$dir/runtime" "$dir/state" "$dir/home"
chmod 700 "$dir" "$dir/runtime"
anonymous=1
if [[ "${QUORBEL_PULSE_STRICT:-0}" == 1 ]]; then
    anonymous=0
    chmod 711 "$dir"
fi

cat >"$dir/server.pa" <<EOF
load-module module-native-protocol-unix socket=$dir/native auth-anonymous=$anonymous
load-module module-null-sink sink_name=quorbel_out rate=44100 norewinds=1 sink_properties=device.description=QuorbelOut
load-module module-null-sink sink_name=quorbel_mic_sink rate=48000 norewinds=1 sink_properties=device.description=QuorbelMicSink
load-module module-remap-source source_name=quorbel_mic master=quorbel_mic_sink.monitor source_properties=device.description=QuorbelMic
set-default-sink quorbel_out
set-default-source quorbel_mic
EOF

cat >"$dir/client.conf" <<EOF
autospawn = no
EOF

export XDG_RUNTIME_DIR="$dir/runtime"
export HOME="$dir/home"
export PULSE_RUNTIME_PATH="$dir/runtime"
export PULSE_STATE_PATH="$dir/state"
export PULSE_CLIENTCONFIG="$dir/client.conf"
export PULSE_SERVER="unix:$dir/native"
# No cookie: the socket takes anonymous clients, and a user's cookie must not leak in.
unset PULSE_COOKIE PULSE_SINK PULSE_SOURCE

# No CPU limiter: a test server on a busy machine must not end itself. The
# parent-death signal ends the server even if this script is killed outright.
launcher=()
if command -v setpriv >/dev/null; then
    launcher=(setpriv --pdeathsig TERM)
fi
"${launcher[@]}" pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit \
    --use-pid-file=no --no-cpu-limit --log-target="file:$dir/log" </dev/null >/dev/null 2>&1 &
server_pid=$!

ready=""
for _ in $(seq 1 100); do
    if ! kill -0 "$server_pid" 2>/dev/null; then
        break
    fi
    if pactl info >/dev/null 2>&1; then
        ready=yes
        break
    fi
    sleep 0.1
done
if [[ -z "$ready" ]]; then
    echo "private-server.sh: the private PulseAudio server did not start; its log:" >&2
    cat "$dir/log" >&2 2>/dev/null || true
    exit 1
fi

# In the background so that a signal to this script is handled at once; the
# explicit redirection keeps the caller's standard input for the command.
"$@" <&0 &
command_pid=$!
status=0
wait "$command_pid" || status=$?
command_pid=""
if [[ $status -ne 0 ]]; then
    if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "private-server.sh: the server had ended before the command did" >&2
    fi
    echo "private-server.sh: the command failed (status $status); the server's log ends:" >&2
    tail -n 20 "$dir/log" >&2 2>/dev/null || true
fi
exit "$status"
