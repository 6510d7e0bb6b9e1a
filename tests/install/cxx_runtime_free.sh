#!/usr/bin/env bash
# cxx_runtime_free.sh NM ARCHIVE - the library's objects call nothing of the
# C++ runtime (no exceptions thrown or caught, no operator new or delete, no
# guarded statics, no std:: helpers compiled out of line), so a C program
# links the static archive with libuuid and threads alone. Debug builds are
# where this breaks first: a std::string_view member that an optimiser
# inlines away stays a call to the runtime's out-of-range thrower at -O0.
set -u
nm=$1
archive=$2
found=$("$nm" -A -u "$archive" | grep -E ' U (_ZSt|_ZNSt|_ZNKSt|_Zn[wa]|_Zd[la]|__cxa_|__gxx_personality|_Unwind_)')
if [ -n "$found" ]; then
    echo "FAIL: C++ runtime symbols referenced by the library:"
    sed 's/^/  /' <<<"$found"
    exit 1
fi
echo "checked: $archive needs no C++ runtime"
