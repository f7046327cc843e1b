#!/usr/bin/env bash
# Stops, starts, restarts or kills the private server of a running
# private-server.sh, for tests that take the server away mid-run. Not run by
# hand: private-server.sh gives its command QUORBEL_SERVER_CONTROL, a script in
# its run directory that calls this one with the directory and its own PID.
#
#   $QUORBEL_SERVER_CONTROL stop|start|restart|kill|stall [MS]
#
#   stop     stops every process of the server and waits until its socket
#            refuses connections
#   start    starts it again, same configuration and socket, and waits until it
#            is ready as at first start (default sink and source included)
#   restart  stop, then start
#   kill     SIGKILLs the server's processes, as a crash would, and waits until
#            they are gone (the socket file stays behind, refusing connections)
#   stall    freezes the server's processes for MS milliseconds (1 to 10000;
#            150 unless given) (SIGSTOP, SIGCONT)
#
# Exits 0 on success, otherwise non-zero with the reason on standard error.
#
# private-server.sh does the work itself, so that every server process stays
# its child: then the parent-death signal and its own clean-up reach restarted
# servers too. The request goes as a file and a SIGUSR1, the answer comes back
# as a file.
set -euo pipefail

usage() {
    echo "usage: $0 CONTROL_DIR SERVER_SCRIPT_PID stop|start|restart|kill|stall [MS]" >&2
    exit 2
}
[[ $# -eq 3 || ( $# -eq 4 && $3 == stall ) ]] || usage
control=$1
owner=$2
request=$3
if [[ $# -eq 4 ]]; then
    [[ $4 =~ ^[1-9][0-9]{0,3}$|^10000$ ]] || usage
    request="stall $4"
fi
case "$request" in
    stop | start | restart | kill | stall | "stall "*) ;;
    *)
        echo "server control: unknown request '$request' (stop, start, restart, kill or stall)" >&2
        exit 2
        ;;
esac

# One request at a time, whoever asks.
exec 9>"$control/lock"
flock 9

rm -f "$control/answer"
echo "$request" >"$control/request.new"
mv "$control/request.new" "$control/request"

# A start may take a while on a busy machine; a minute is far beyond it.
deadline=$((SECONDS + 60))
signalled_at=-1
until [[ -f "$control/answer" ]]; do
    if ! kill -0 "$owner" 2>/dev/null; then
        echo "server control: private-server.sh (PID $owner) has ended" >&2
        exit 1
    fi
    if ((SECONDS >= deadline)); then
        rm -f "$control/request"
        echo "server control: no answer to '$request' within 60 s" >&2
        exit 1
    fi
    # Signalled again while the request waits, in case the first signal came
    # just before the script went back to waiting for its command.
    if [[ -f "$control/request" ]] && ((SECONDS != signalled_at)); then
        kill -USR1 "$owner"
        signalled_at=$SECONDS
    fi
    sleep 0.01
done

status=$(head -n 1 "$control/answer")
tail -n +2 "$control/answer" >&2
rm -f "$control/answer"
exit "$status"
