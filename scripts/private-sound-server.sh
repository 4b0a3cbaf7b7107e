#!/usr/bin/env bash
# A sound server of one's own for the bench (cuedeck_bench --servers), as the end-to-end tests
# start theirs: nothing of the desktop's is touched, and no hardware is needed.
#   scripts/private-sound-server.sh start pipewire|pulseaudio DIR   then: . DIR/env
#   scripts/private-sound-server.sh stop DIR
# PipeWire runs with its own session bus, session manager and PulseAudio side, and a null sink
# "board" at 48 kHz; its PulseAudio side lets clients down to 128 frames (its default floor of
# 256 frames would add 5 ms to every figure recorded with parec). PulseAudio runs with one null
# sink "board" and no configuration of its own.
# The servers' threads that relay the clients' sound (PulseAudio's main thread, pipewire-pulse's)
# run at real-time priority, below the servers' own I/O threads, where the system grants it. A
# desktop's server raises only its I/O threads and leaves the main one at nice -11, which gets a
# core at once there; on a shared machine whose other sessions build, that thread waits for one
# up to hundreds of ms while the I/O thread plays on, and the queue of any client, however deep,
# runs dry: underruns of the harness, not of the client measured.
set -euo pipefail
cmd=${1:?start or stop}
if [[ $cmd == stop ]]; then
    dir=${2:?folder}
    [[ -f $dir/pids ]] || exit 0
    while read -r pid; do kill "$pid" 2>/dev/null || true; done <"$dir/pids"
    rm -f "$dir/pids"
    exit 0
fi
server=${2:?pipewire or pulseaudio}
dir=$(mkdir -p "${3:?folder}" && cd "$3" && pwd)
run=$dir/runtime
mkdir -p "$run" && chmod 700 "$run"
: >"$dir/pids"
spawn() { "$@" >/dev/null 2>>"$dir/$1.log" & echo $! >>"$dir/pids"; }
relay_in_real_time() { chrt -r -p 4 "$1" 2>/dev/null || echo "$2's main thread stays at normal priority" >&2; }
wait_for() { for _ in $(seq 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done; return 1; }

case $server in
pipewire)
    mkdir -p "$dir/config/pipewire/pipewire-pulse.conf.d"
    cat >"$dir/config/pipewire/pipewire-pulse.conf.d/latency.conf" <<'EOF'
pulse.properties = {
    pulse.min.req = 128/48000
    pulse.min.frag = 128/48000
    pulse.min.quantum = 128/48000
}
EOF
    cat >"$dir/env" <<EOF
export HOME=$dir XDG_CONFIG_HOME=$dir/config XDG_RUNTIME_DIR=$run PIPEWIRE_RUNTIME_DIR=$run
export DBUS_SESSION_BUS_ADDRESS=unix:path=$run/bus PULSE_SERVER=unix:$run/pulse/native
EOF
    # shellcheck source=/dev/null
    . "$dir/env"
    spawn dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile
    wait_for test -S "$run/bus"
    spawn pipewire
    spawn wireplumber
    spawn pipewire-pulse
    relay_in_real_time $! pipewire-pulse
    wait_for pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=board
        media.class=Audio/Sink object.linger=1 audio.position=[FL FR] audio.rate=48000 }'
    wait_for sh -c 'pactl info | grep -q "Default Sink: board"'
    ;;
pulseaudio)
    cat >"$dir/env" <<EOF
export HOME=$dir XDG_RUNTIME_DIR=$run PULSE_SERVER=unix:$dir/pulse.sock
unset DBUS_SESSION_BUS_ADDRESS PIPEWIRE_RUNTIME_DIR
EOF
    # shellcheck source=/dev/null
    . "$dir/env"
    spawn pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --system=no \
        --disallow-exit --log-target=stderr \
        -L "module-null-sink sink_name=board rate=48000 format=float32le" \
        -L "module-native-protocol-unix auth-anonymous=1 socket=$dir/pulse.sock"
    pulse=$!
    wait_for pactl info
    relay_in_real_time $pulse pulseaudio # once it answers: it resets its scheduling as it starts
    ;;
*)
    echo "unknown server $server" >&2
    exit 2
    ;;
esac
echo "$server runs; . $dir/env"
