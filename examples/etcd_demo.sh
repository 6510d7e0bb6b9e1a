#!/usr/bin/env bash
# etcd_demo.sh - ovlockrun's lock on an etcd cluster, for hosts that share
# no file system.
#
# Starts a one-member etcd on loopback in a scratch directory (a real
# cluster has three or five members; the lock is the same), then shows a
# command run under the lock NAME with its fencing value, a second contender
# refused, a waiter served when the holder ends with a greater fence, the
# lock seen by --check, and the exclusion of etcdctl's own lock on the name.
set -euo pipefail

OVLOCKRUN=${OVLOCKRUN:-ovlockrun}
ETCD=${ETCD:-etcd}
ETCDCTL=${ETCDCTL:-etcdctl}
work=$(mktemp -d)
etcd_pid=
cleanup() {
    [ -z "$etcd_pid" ] || { kill "$etcd_pid" 2>/dev/null; wait "$etcd_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

# Two ports that nothing listens on.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 30000))
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
    done
}
client=$(free_port)
peer=$(free_port)
endpoint=http://127.0.0.1:$client

echo "== 0. A one-member etcd on $endpoint"
"$ETCD" --name demo --data-dir "$work/data" \
    --listen-client-urls "$endpoint" --advertise-client-urls "$endpoint" \
    --listen-peer-urls "http://127.0.0.1:$peer" --initial-advertise-peer-urls "http://127.0.0.1:$peer" \
    --initial-cluster "demo=http://127.0.0.1:$peer" > "$work/etcd.log" 2>&1 &
etcd_pid=$!
for _ in $(seq 100); do
    ETCDCTL_API=3 "$ETCDCTL" --endpoints "$endpoint" endpoint health > /dev/null 2>&1 && break
    sleep 0.1
done
ETCDCTL_API=3 "$ETCDCTL" --endpoints "$endpoint" endpoint health

export OVLOCK_ETCD_ENDPOINTS=$endpoint

echo
echo "== 1. A command under the lock 'nightly-backup'; it is told its key and fence"
"$OVLOCKRUN" --etcd nightly-backup sh -c 'echo "key $OVLOCK_KEY, fence $OVLOCK_FENCE, record $OVLOCK_RECORD"'

echo
echo "== 2. While one holder runs, a second contender is refused (status 1) ..."
"$OVLOCKRUN" --etcd nightly-backup sh -c 'echo "holder: fence $OVLOCK_FENCE"; sleep 2' &
holder=$!
sleep 0.5
"$OVLOCKRUN" --etcd --check nightly-backup || true
status=0
"$OVLOCKRUN" --etcd nightly-backup true || status=$?
echo "(second contender exited with status $status)"
echo "... and a waiter (-w 10) runs once the holder has ended, with a greater fence"
"$OVLOCKRUN" --etcd -w 10 nightly-backup sh -c 'echo "waiter: fence $OVLOCK_FENCE"'
wait "$holder"

echo
echo "== 3. etcdctl's own lock on the same name excludes ovlockrun"
ETCDCTL_API=3 "$ETCDCTL" --endpoints "$endpoint" lock nightly-backup -- sleep 2 > /dev/null &
other=$!
sleep 0.7
status=0
"$OVLOCKRUN" --etcd nightly-backup true || status=$?
echo "(ovlockrun exited with status $status while etcdctl held the lock)"
wait "$other"
"$OVLOCKRUN" --etcd --check nightly-backup
echo "Done."
