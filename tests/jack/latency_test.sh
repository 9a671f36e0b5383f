#!/bin/sh
# SPDX-License-Identifier: MIT
# latency_test.sh DORVANE PROBE
# At each quality, the time from a datagram's arrival to its samples leaving dorvane's ring
# buffer is the quality's latency (8, 16, 32, 64 or 128 ms; at least a JACK period and a
# packet, 10.7 ms here), within a period less and a few periods more: the datagrams that
# queue up while the JACK client opens must not be stored on top (they would double it).
#
# latency_test.sh --capture QUELLOR PROBE
# quellor -b jack puts a sample on the wire within one JACK period plus one packet of its
# capture (10.7 ms here): the probe plays clicks into its port and times the datagrams that
# carry them. One click of an attempt may run longer: a machine that falls behind holds up
# quellor and the probe alike, while a fault in quellor delays clicks at every point of a cycle.
#
# A timing taken while the machine is busy elsewhere can run long once; a fault shows in both
# attempts.
set -eu
capture=""
if [ "$1" = "--capture" ]; then
    capture="--capture"
    shift
fi
program=$1
probe=$2
export JACK_DEFAULT_SERVER="latency$$"
export JACK_NO_START_SERVER=1
jackd -r -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
server=$!
receiver=""
trap 'status=$?; kill $receiver $server 2>/dev/null; wait 2>/dev/null; exit $status' EXIT
sleep 1

port=$(( ($$ % 20000) + 30000 ))
if [ -n "$capture" ]; then
    for attempt in 1 2; do
        "$program" -i 127.0.0.1 -p "$port" -s Bench -b jack -d "caplat$attempt" >/dev/null 2>&1 &
        receiver=$!
        sleep 0.3
        line=$("$probe" --capture "$port" "caplat$attempt" 5 2>/dev/null || true)
        kill "$receiver"
        wait "$receiver" 2>/dev/null || true
        receiver=""
        port=$((port + 1))
        echo "$line"
        if echo "$line" | awk -F'[= ]' '{ exit !($10 != "" && $2 <= $6 && $10 <= 1) }'; then
            exit 0
        fi
    done
    echo "clicks took longer than a period and a packet" >&2
    exit 1
fi
failed=0
for quality in 0 1 2 3 4; do
    case $quality in
        0) cushion=10.7 ;; 1) cushion=16 ;; 2) cushion=32 ;; 3) cushion=64 ;; 4) cushion=128 ;;
    esac
    for attempt in 1 2; do
        "$program" -i 127.0.0.1 -p "$port" -s Bench -b jack -d "lat$quality" -q "$quality" &
        receiver=$!
        sleep 0.3
        line=$("$probe" "$port" "lat$quality" 3 2>/dev/null || true)
        kill "$receiver"
        wait "$receiver" 2>/dev/null || true
        receiver=""
        port=$((port + 1))
        latency=${line#latency_ms=}
        latency=${latency%% *}
        # From the cushion less one period of 5.3 ms to the cushion plus three periods.
        if awk -v l="$latency" -v c="$cushion" 'BEGIN { exit !(l >= c - 6.5 && l <= c + 16) }'
        then
            echo "-q $quality: $latency ms (latency $cushion ms)"
            break
        fi
        echo "-q $quality: $latency ms, expected about $cushion ms (-5.3, +16)" >&2
        if [ "$attempt" = 2 ]; then
            failed=1
        fi
    done
done
exit $failed
