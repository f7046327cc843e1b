# The PulseAudio half of private-server.sh, which sources it and provides
# $dir, launch, end_process, running and wait_for. One process: pulseaudio itself.

server_check_tools() {
    if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
        echo "private-server.sh: pulseaudio and pactl are needed (apt-get install pulseaudio pulseaudio-utils)" >&2
        return 1
    fi
}

server_configure() {
    local anonymous=1
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
}

# No CPU limiter: a test server on a busy machine must not end itself. No
# shared memory with clients: PulseAudio 16 now and then aborts on its count
# of imported blocks ("n_imported > 0" in memblock.c) when a playing client
# is killed, which the tests do all the time; over the socket nothing is
# imported.
server_start() {
    launch pulseaudio pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit \
        --use-pid-file=no --no-cpu-limit --disable-shm=yes --log-target=stderr
    wait_for 10 "PulseAudio to answer" pulseaudio_answers
}

pulseaudio_answers() {
    if ! running pulseaudio; then
        echo "private-server.sh: pulseaudio has ended" >&2
        return 2
    fi
    pulse_answers
}

server_any_running() { running pulseaudio; }
server_processes() { echo pulseaudio; }
server_stop() { end_process pulseaudio TERM; }
server_kill() { end_process pulseaudio KILL; }
server_stop_all() { end_process pulseaudio TERM; }

server_log_tail() { tail -n 20 "$dir/pulseaudio.log" 2>/dev/null || true; }
