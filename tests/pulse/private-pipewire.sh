# The PipeWire half of private-server.sh, which sources it and provides $dir,
# launch, end_process, running and wait_for. Four processes, started in this order:
#   dbus-daemon     a private session bus (WirePlumber 0.4 leaves without one);
#                   it stays up across server restarts
#   pipewire        the graph, clocked at 48 kHz
#   wireplumber     the session manager: links streams, keeps the defaults
#   pipewire-pulse  the PulseAudio protocol, which makes the same devices as
#                   private-pulseaudio.sh with the same modules
# Each runs on a configuration written into the run directory: Debian's own
# (/usr/share/pipewire, /usr/share/wireplumber) without real-time scheduling,
# portals, the X11 bell, hardware monitors, restored streams, suspend on idle
# or pipewire-pulse's always-there sink.

server_check_tools() {
    local tool missing=()
    for tool in pipewire pipewire-pulse wireplumber pw-link pactl dbus-daemon; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    if ((${#missing[@]} > 0)); then
        echo "private-server.sh: ${missing[*]} missing (apt-get install pipewire pipewire-pulse" \
            "wireplumber pipewire-bin pulseaudio-utils dbus-daemon)" >&2
        return 1
    fi
}

# What every PipeWire process here sees: our configuration, our runtime
# directory and session bus, and no system bus at all. A command prefix.
pipewire_env=()

server_configure() {
    pipewire_env=(env -u DISPLAY -u WAYLAND_DISPLAY -u PIPEWIRE_REMOTE
        PIPEWIRE_RUNTIME_DIR="$dir/runtime"
        PIPEWIRE_CONFIG_DIR="$dir/pipewire"
        WIREPLUMBER_CONFIG_DIR="$dir/wireplumber"
        WIREPLUMBER_DATA_DIR=/usr/share/wireplumber
        XDG_CONFIG_HOME="$dir/home/.config"
        XDG_STATE_HOME="$dir/state"
        XDG_DATA_HOME="$dir/home/.local/share"
        DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
        DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/no-system-bus")
    mkdir -p "$dir/pipewire" "$dir/wireplumber"
    # For pw-link, which reads its configuration from the same place.
    cp /usr/share/pipewire/client.conf "$dir/pipewire/"
    write_dbus_config
    write_pipewire_config
    write_pipewire_pulse_config
    write_wireplumber_config
}

# A session bus with no service directories: nothing gets activated on it.
write_dbus_config() {
    cat >"$dir/dbus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
}

write_pipewire_config() {
    cat >"$dir/pipewire/pipewire.conf" <<'EOF'
context.properties = {
    link.max-buffers          = 16
    core.daemon               = true
    core.name                 = pipewire-0
    # One graph rate whatever the streams' rates, as a desktop typically runs.
    default.clock.rate        = 48000
    default.clock.allowed-rates = [ 48000 ]
    default.clock.min-quantum = 16
    vm.overrides = {
        default.clock.min-quantum = 1024
    }
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    avb.*           = avb/libspa-avb
    api.alsa.*      = alsa/libspa-alsa
    api.v4l2.*      = v4l2/libspa-v4l2
    api.libcamera.* = libcamera/libspa-libcamera
    api.bluez5.*    = bluez5/libspa-bluez5
    api.vulkan.*    = vulkan/libspa-vulkan
    api.jack.*      = jack/libspa-jack
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-profiler }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access args = { } }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
# Without hardware, the dummy driver clocks the graph.
context.objects = [
    { factory = spa-node-factory
        args = {
            factory.name    = support.node.driver
            node.name       = Dummy-Driver
            node.group      = pipewire.dummy
            priority.driver = 20000
        }
    }
    { factory = spa-node-factory
        args = {
            factory.name    = support.node.driver
            node.name       = Freewheel-Driver
            priority.driver = 19000
            node.group      = pipewire.freewheel
            node.freewheel  = true
        }
    }
]
EOF
}

write_pipewire_pulse_config() {
    cat >"$dir/pipewire/pipewire-pulse.conf" <<EOF
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse args = { } }
]
# The devices of private-pulseaudio.sh, made by the same modules.
pulse.cmd = [
    { cmd = "load-module" args = "module-null-sink sink_name=quorbel_out rate=44100 norewinds=1 sink_properties=device.description=QuorbelOut" }
    { cmd = "load-module" args = "module-null-sink sink_name=quorbel_mic_sink rate=48000 norewinds=1 sink_properties=device.description=QuorbelMicSink" }
    { cmd = "load-module" args = "module-remap-source source_name=quorbel_mic master=quorbel_mic_sink.monitor source_properties=device.description=QuorbelMic" }
]
pulse.properties = {
    server.address = [ "unix:$dir/native.starting" ]
    vm.overrides = {
        pulse.min.quantum = 1024/48000
    }
}
EOF
}

# WirePlumber's own configuration directory replaces Debian's, so Debian's Lua
# fragments are copied beside ours; ours replaces the one that enables them.
write_wireplumber_config() {
    cat >"$dir/wireplumber/wireplumber.conf" <<'EOF'
context.properties = {
  log.level = 2
  wireplumber.script-engine = lua-scripting
}
context.spa-libs = {
  audio.convert.* = audioconvert/libspa-audioconvert
  support.*       = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-session-manager }
]
wireplumber.components = [
  { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua }
  { name = policy.lua, type = config/lua }
]
EOF
    cp -r /usr/share/wireplumber/main.lua.d /usr/share/wireplumber/policy.lua.d "$dir/wireplumber/"
    # No ALSA, V4L2 or libcamera monitors, no stream restoring, no suspending
    # of idle nodes: the default nodes, access rules and roles stay.
    cat >"$dir/wireplumber/main.lua.d/90-enable-all.lua" <<'EOF'
load_module("metadata")
default_access.enable()
device_defaults.enable()
load_script("intended-roles.lua")
EOF
}

pipewire_processes=(pipewire-pulse wireplumber pipewire)

# PipeWire needs no bus, so the two start side by side; WirePlumber needs both.
server_start() {
    if ! running dbus; then
        rm -f "$dir/bus"
        launch dbus dbus-daemon --config-file="$dir/dbus.conf" --nofork --nopidfile
    fi
    # Only ever one PipeWire here: anything left in its place is stale.
    rm -f "$dir/runtime/pipewire-0" "$dir/runtime/pipewire-0.lock"
    launch pipewire "${pipewire_env[@]}" pipewire
    wait_for 10 "the session bus" bus_listens || return 1
    wait_for 10 "pipewire's socket" pipewire_listens || return 1
    launch wireplumber "${pipewire_env[@]}" wireplumber
    # pipewire-pulse serves clients before WirePlumber has set the defaults and
    # linked the microphone, so it listens on a socket of its own until then:
    # clients of PULSE_SERVER are refused, not served by half a server.
    rm -f "$dir/native.starting"
    launch pipewire-pulse "${pipewire_env[@]}" pipewire-pulse
    wait_for 10 "pipewire-pulse to answer" pipewire_pulse_answers || return 1
    # pipewire-pulse says "Not supported" until WirePlumber has made its
    # metadata for the defaults.
    wait_for 10 "WirePlumber to take the default sink and source" set_defaults || return 1
    wait_for 10 "quorbel_mic to be linked to quorbel_mic_sink" remap_linked || return 1
    mv "$dir/native.starting" "$dir/native"
}

# Each check says 2 (give up) once a process it needs has ended.
all_alive() {
    local name
    for name in "$@"; do
        if ! running "$name"; then
            echo "private-server.sh: $name has ended" >&2
            return 2
        fi
    done
}
bus_listens() { all_alive dbus || return; [[ -S "$dir/bus" ]]; }
pipewire_listens() { all_alive pipewire || return; [[ -S "$dir/runtime/pipewire-0" ]]; }
starting_pactl() { PULSE_SERVER="unix:$dir/native.starting" pactl "$@" >/dev/null 2>&1; }
pipewire_pulse_answers() { all_alive "${pipewire_processes[@]}" || return; starting_pactl info; }
set_defaults() {
    all_alive "${pipewire_processes[@]}" || return
    starting_pactl set-default-sink quorbel_out && starting_pactl set-default-source quorbel_mic
}
# The remapped source reads its master through a capture stream, which
# WirePlumber links: until then the microphone would be silent.
remap_linked() {
    all_alive "${pipewire_processes[@]}" || return
    local links
    links=$("${pipewire_env[@]}" pw-link --links 2>/dev/null) || return 1
    [[ "$links" == *"|<- quorbel_mic_sink:monitor_"* ]]
}

server_any_running() {
    local name
    for name in "${pipewire_processes[@]}"; do
        running "$name" && return 0
    done
    return 1
}

# All at once, then each awaited (and killed if it lingers).
signal_all() {
    local signal=$1 name pid
    for name in "${pipewire_processes[@]}"; do
        pid=$(tracked_pid "$name")
        [[ -z "$pid" ]] || kill "-$signal" "$pid" 2>/dev/null || true
    done
    for name in "${pipewire_processes[@]}"; do
        end_process "$name" "$signal"
    done
}
server_stop() { signal_all TERM; }
server_processes() { echo "${pipewire_processes[@]}"; }
server_kill() { signal_all KILL; }

server_stop_all() {
    server_stop
    end_process dbus TERM
}

server_log_tail() {
    local name
    for name in pipewire wireplumber pipewire-pulse dbus; do
        if [[ -s "$dir/$name.log" ]]; then
            echo "--- $name"
            tail -n 10 "$dir/$name.log"
        fi
    done
}
