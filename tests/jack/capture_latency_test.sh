#!/bin/sh
# SPDX-License-Identifier: MIT
# capture_latency_test.sh QUELLOR PROBE
# quellor -b jack puts a sample on the wire within one JACK period plus one packet of its
# capture (10.7 ms at 256 frames and 48 kHz): the probe plays clicks into its port and times
# the datagrams that carry them. A timing taken while the machine is busy elsewhere can run long
# once; a fault shows in both attempts.
set -eu
quellor=$1
probe=$2
export JACK_DEFAULT_SERVER="capturelatency$$"
export JACK_NO_START_SERVER=1
jackd -r -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
server=$!
sender=""
trap 'status=$?; kill $sender $server 2>/dev/null; wait 2>/dev/null; exit $status' EXIT
sleep 1

port=$(( ($$ % 20000) + 30000 ))
for attempt in 1 2; do
    "$quellor" -i 127.0.0.1 -p "$port" -s Bench -b jack -d "caplat$attempt" >/dev/null 2>&1 &
    sender=$!
    sleep 0.3
    line=$("$probe" "$port" "caplat$attempt" 5 2>/dev/null || true)
    kill "$sender"
    wait "$sender" 2>/dev/null || true
    sender=""
    port=$((port + 1))
    echo "$line"
    if echo "$line" | awk -F'[= ]' '{ exit !($4 != "" && $4 <= $6) }'; then
        exit 0
    fi
done
echo "a click took longer than a period and a packet" >&2
exit 1
