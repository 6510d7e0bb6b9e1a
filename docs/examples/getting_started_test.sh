#!/usr/bin/env bash
# getting_started_test.sh PROGRAM WORKDIR - runs the getting-started program
# of the reference manual as its page describes it: a free lock is taken,
# logged about, worked under and released; a lock that another holder keeps
# fresh makes it stop with status 2 and leaves that lock alone.
set -uo pipefail
program=$1
work=$2
failures=0
bad() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"

"$program" "$work/job" 2>"$work/free.err"
status=$?
[ $status -eq 0 ] || bad "a free lock: status $status, not 0"
for line in "starting with the lock $work/job.lck" "working under the lock" "done: lock kept, release OK"; do
    grep -qF "$line" "$work/free.err" || bad "a free lock: no log line '$line' on standard error"
done
[ ! -e "$work/job.lck" ] || bad "a free lock: the lock file is left behind"
echo "free lock: status $status"
sed 's/^/    /' "$work/free.err"

# Another holder: a lock file that was just written.
printf '1:00000000-0000-0000-0000-000000000000:elsewhere\n' >"$work/job.lck"
"$program" "$work/job" 2>"$work/busy.err"
status=$?
[ $status -eq 2 ] || bad "a held lock: status $status, not 2"
grep -qF "busy: " "$work/busy.err" || bad "a held lock: no 'busy' log line"
grep -q "elsewhere" "$work/job.lck" 2>/dev/null || bad "a held lock: the holder's record was changed"
echo "held lock: status $status"
sed 's/^/    /' "$work/busy.err"

[ $failures -eq 0 ] || exit 1
rm -rf "$work"
