#!/usr/bin/env bash
# A private PulseAudio server with one null sink, for the tests that listen to what the player plays.
#
#   bash scripts/pulse-null-sink.sh start DIR   starts it with its runtime files in DIR (created if
#                                               missing) and waits until it answers
#   bash scripts/pulse-null-sink.sh stop DIR    ends the server started there, by its PID
#
# Clients reach it with PULSE_SERVER=unix:DIR/native; its sink is "brisnak_out" and the default sink,
# so recording "brisnak_out.monitor" captures exactly what reaches it. The server runs in the
# foreground of a background job so that its PID is known ($!): it is never looked up or ended by
# name, and a server someone else runs on the machine is left alone.
set -euo pipefail

usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}
(($# == 2)) || usage
action=$1
dir=$2

case "$action" in
start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    if [[ -f "$dir/pid" ]] && kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
        echo "pulse-null-sink: a server already runs from $dir (PID $(cat "$dir/pid"))" >&2
        exit 1
    fi
    rm -f "$dir/native" "$dir/pid"
    # HOME, the runtime and the state path all point into DIR so that nothing of the user's own
    # PulseAudio set-up is read or written. As root the server warns that it is not meant for root
    # but runs; anonymous access spares the clients a cookie.
    HOME="$dir" PULSE_RUNTIME_PATH="$dir" PULSE_STATE_PATH="$dir" \
        pulseaudio --daemonize=no -n --exit-idle-time=-1 --use-pid-file=no --log-target=stderr \
        --load="module-null-sink sink_name=brisnak_out" \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/native" \
        </dev/null >"$dir/log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/pid"
    for _ in $(seq 1 100); do
        if PULSE_SERVER="unix:$dir/native" pactl info >/dev/null 2>&1; then
            echo "pulse-null-sink: server $pid up, PULSE_SERVER=unix:$dir/native"
            exit 0
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "pulse-null-sink: the server did not come up; its log:" >&2
    cat "$dir/log" >&2 || true
    kill "$pid" 2>/dev/null || true
    rm -f "$dir/pid"
    exit 1
    ;;
stop)
    [[ -f "$dir/pid" ]] || exit 0
    pid=$(cat "$dir/pid")
    if kill "$pid" 2>/dev/null; then
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/pid"
    echo "pulse-null-sink: server $pid stopped"
    ;;
*)
    usage
    ;;
esac
