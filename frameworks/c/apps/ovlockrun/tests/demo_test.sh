#!/usr/bin/env bash
# demo_test.sh - runs examples/ovlockrun_demo.sh with the built tool and
# checks, in their order, the lines that show what it demonstrates: the
# command's lock file and fencing record, the lock free after it, --check on
# a held lock, the second contender refused, the waiter served after the
# holder with a record of its own, and a lost lock stopping its command.
#
#   demo_test.sh OVLOCKRUN DEMO
set -u
[ $# -eq 2 ] || { echo "usage: demo_test.sh OVLOCKRUN DEMO" >&2; exit 2; }
out=$(OVLOCKRUN=$1 timeout 60 "$2" 2>&1)
status=$?
echo "$out"
[ $status -eq 0 ] || { echo "FAIL: the demo exited with status $status" >&2; exit 1; }

record='[0-9]+:[0-9a-f-]{36}:[^ ]+'
expected=(
    "^OVLOCK_FILE=/.*/nightly-report\.lck$"
    "^OVLOCK_RECORD=$record$"
    "^fence holds: committing$"
    "^after the command: verdict: free$"
    "^record: $record$"
    "^verdict: held$"
    "^holder pid [0-9]+ on this host: running$"
    "^\(--check exited with status 1: held\)$"
    "^ovlockrun: lock busy: .*/nightly-report\.lck is held by \[$record\]$"
    "^\(second contender exited with status 1\)$"
    "^waiter still waiting after 0\.5 s; ending the holder$"
    "^waiter: record $record$"
    "^holder's record was $record: a fencing check with it now fails$"
    "^command: started$"
    "^ovlockrun: lock lost: .*/nightly-report\.lck is now held by \[4242:[0-9a-f-]{36}:elsewhere\]; stopping the command$"
    "^command: SIGTERM, stopping$"
    "^\(ovlockrun exited with status 3\)$"
    "^Done\.$"
)
next=0
while IFS= read -r line && [ $next -lt ${#expected[@]} ]; do
    [[ $line =~ ${expected[next]} ]] && next=$((next + 1))
done <<<"$out"
if [ $next -lt ${#expected[@]} ]; then
    echo "FAIL: no line matching '${expected[next]}' after the ${next} lines found before it" >&2
    exit 1
fi
grep -q "unexpected" <<<"$out" && { echo "FAIL: the demo reported something unexpected" >&2; exit 1; }
echo "PASS: the demo showed all ${#expected[@]} lines in order"
