#!/usr/bin/env bash
# ovlockrun_demo.sh - a command run under a lock file with ovlockrun.
#
# Shows a command run while ovlockrun holds the lock, with the fencing
# record it is given; a second contender refused while one holder runs, and
# a waiter (-w) that starts as soon as the holder ends; and a lock lost while
# its command runs, which stops the command.
set -euo pipefail

OVLOCKRUN=${OVLOCKRUN:-ovlockrun}
work=$(mktemp -d)
# A demo that fails half-way does not leave its commands running.
cleanup() {
    local pids
    pids=$(jobs -p)
    # shellcheck disable=SC2086 # one pid a word
    [ -z "$pids" ] || kill $pids 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
lock="$work/nightly-report"

# wait_for FILE: until a background command has created FILE (at most 10 s).
wait_for() {
    for _ in $(seq 200); do [ -e "$1" ] && return; sleep 0.05; done
    echo "unexpected: $1 did not appear" >&2
    exit 1
}

echo "== 1. A command under the lock; it is given the lock file and its record"
"$OVLOCKRUN" "$lock" sh -c '
    echo "OVLOCK_FILE=$OVLOCK_FILE"
    echo "OVLOCK_RECORD=$OVLOCK_RECORD"
    # The fencing check before a commit: the lock file still holds our record.
    if [ "$(cat "$OVLOCK_FILE")" = "$OVLOCK_RECORD" ]; then echo "fence holds: committing"; fi'
echo "after the command: $("$OVLOCKRUN" --check "$lock")"

echo
echo "== 2. One holder runs; --check shows it, a second contender is refused ..."
# The holder keeps the lock until the script creates $work/release. Its
# record appears whole, by a rename, so that it is never read half-written.
"$OVLOCKRUN" "$lock" sh -c '
    echo "$OVLOCK_RECORD" > "$1.new" && mv "$1.new" "$1"
    while [ ! -e "$2" ]; do sleep 0.05; done' sh "$work/holder.record" "$work/release" &
holder=$!
wait_for "$work/holder.record"
read -r holder_record < "$work/holder.record"
status=0
"$OVLOCKRUN" --check "$lock" || status=$?
echo "(--check exited with status $status: held)"
status=0
"$OVLOCKRUN" "$lock" echo "unexpected: the second contender ran" 2>&1 || status=$?
echo "(second contender exited with status $status)"
[ $status -eq 1 ] || exit 1

echo "... and a waiter (-w 10) starts as soon as the holder ends"
"$OVLOCKRUN" -w 10 "$lock" sh -c 'echo "waiter: record $OVLOCK_RECORD"' > "$work/waiter.out" &
waiter=$!
sleep 0.5
if [ -s "$work/waiter.out" ] || ! kill -0 "$waiter" 2>/dev/null; then
    echo "unexpected: the waiter did not wait" >&2
    exit 1
fi
echo "waiter still waiting after 0.5 s; ending the holder"
: > "$work/release"
wait "$holder"
wait "$waiter"
cat "$work/waiter.out"
waiter_record=$(sed 's/.*record //' "$work/waiter.out")
[ -n "$waiter_record" ] && [ "$waiter_record" != "$holder_record" ] || exit 1
echo "holder's record was $holder_record: a fencing check with it now fails"

echo
echo "== 3. A lock lost while its command runs stops the command (-k 1: SIGKILL 1 s after SIGTERM)"
"$OVLOCKRUN" -k 1 "$lock" sh -c '
    trap "echo \"command: SIGTERM, stopping\"; exit 143" TERM
    echo "command: started"; : > "$1"
    exec 2>/dev/null  # no "Terminated" from the shell for its sleep
    for _ in $(seq 100); do sleep 0.1; done
    echo "command: ran for 10 s"' sh "$work/started" > "$work/lost.out" 2>&1 &
runner=$!
wait_for "$work/started"
echo "another process replaces the lock file with its own record"
printf '4242:00000000-0000-4000-8000-000000000000:elsewhere\n' > "$work/other.lck"
mv "$work/other.lck" "$lock.lck"
status=0
wait "$runner" || status=$?
cat "$work/lost.out"
echo "(ovlockrun exited with status $status)"
[ $status -eq 3 ] || exit 1
echo "the lock file is the other holder's still: $(cat "$lock.lck")"
echo "Done."
