#!/usr/bin/env bash
# demo.sh - a shell script that serialises its work with ovlockfile.
#
# Shows the tool's main job as a script uses it: take a lock and keep the
# worker's pid, see a second contender refused, release with SIGHUP, and take
# over the lock of a holder that was killed once that lock has gone stale.
set -euo pipefail

OVLOCKFILE=${OVLOCKFILE:-ovlockfile}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
lock="$work/nightly-backup"

# The worker watches the process that ran the tool (this script) and
# releases the lock when it is gone, so run the tool from the script itself,
# not from a subshell such as $(...). The worker also keeps the tool's
# standard output, so read the pid from a file rather than through a pipe.
take_lock() { # take_lock EXPIRATION OUTFILE: sets $pid
    "$OVLOCKFILE" "$lock" "$1" > "$2"
    read -r pid < "$2"
}

# The worker is not this script's child (the tool forked it and exited), so
# `wait` cannot wait for it: after SIGHUP, poll with kill -0 until it has gone,
# and its lock with it.
release() { # release WORKER (waits at most 5 s)
    kill -HUP "$1"
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$1" 2>/dev/null; then echo "worker $1 still running" >&2; return 1; fi
    if [ -e "$lock.lck" ]; then echo "lock file still there" >&2; return 1; fi
}

echo "== 1. Take the lock; the tool prints the worker's pid and returns at once"
take_lock 10 "$work/holder.out"; worker=$pid
echo "worker pid: $worker"
echo "lock file $lock.lck holds: $(cat "$lock.lck")"

echo
echo "== 2. A second contender is refused while the worker keeps the lock fresh"
if "$OVLOCKFILE" "$lock" 10 > /dev/null; then
    echo "unexpected: second contender got the lock" >&2; exit 1
else
    echo "(second contender exited with status $?)"
fi

echo
echo "== 3. Release with SIGHUP"
release "$worker"
sed 1d "$work/holder.out"   # what the worker printed after its pid
echo "lock file gone"

echo
echo "== 4. A holder killed with SIGKILL leaves its lock file behind"
take_lock 2 "$work/victim.out"; victim=$pid
kill -KILL "$victim"
echo "killed worker $victim; lock file still holds: $(cat "$lock.lck")"
if "$OVLOCKFILE" "$lock" 2 > /dev/null; then
    echo "unexpected: a fresh lock was taken over" >&2; exit 1
fi
echo "... refused while fresh; waiting for it to go stale (expiration 2 s)"
sleep 3
take_lock 2 "$work/successor.out"; successor=$pid
echo "taken over by worker $successor; lock file now holds: $(cat "$lock.lck")"
release "$successor"
echo "released. Done."
