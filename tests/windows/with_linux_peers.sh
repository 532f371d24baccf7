#!/usr/bin/env bash
# Runs a test program of the Windows build under Wine against the Linux peers (nimbara-test-peers of
# the Linux build): the peers' NIMBARA_PEER_* lines become the test's environment, and the peers end
# when the test does.
#   with_linux_peers.sh <nimbara-test-peers> <test.exe> <output file>
# Needs NIMBARA_WINE_PREFIX and a display for the peers' X server (xvfb-run gives one).
set -euo pipefail

peers="$1"
program="$2"
output="$3"
runner="$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine_run.sh"
[ -x "$peers" ] || { echo "no Linux peers program at $peers (build the Linux tree first)"; exit 1; }
mkdir -p "$(dirname "$output")"
rm -f "$output"

coproc PEERS { exec "$peers"; }
peers_pid=$PEERS_PID
exec {to_peers}>&"${PEERS[1]}" {from_peers}<&"${PEERS[0]}"
cleanup() {
    # Every copy of the write end must go, the coprocess's own too, or the peers never see the end of
    # their input, are killed, and leave their X server and RDP server behind.
    exec {to_peers}>&- || true
    if [ -n "${PEERS[1]:-}" ]; then eval "exec ${PEERS[1]}>&-" || true; fi
    # Closing their input ends them; bounded, then forced.
    for _ in $(seq 1 50); do kill -0 "$peers_pid" 2>/dev/null || return 0; sleep 0.1; done
    kill -9 "$peers_pid" 2>/dev/null || true
}
trap cleanup EXIT

ready=""
while IFS= read -r -t 120 line <&"$from_peers"; do
    if [ "$line" = READY ]; then
        ready=1
        break
    fi
    [[ "$line" =~ ^NIMBARA_PEER_[A-Z_]+= ]] || { echo "unexpected line from the peers: $line"; exit 1; }
    export "${line?}"
done
[ -n "$ready" ] || { echo "the Linux peers did not start"; exit 1; }

status=0
"$runner" "$program" -o "$output,txt" || status=$?
cat "$output" 2>/dev/null || echo "the test left no output"
exit "$status"
