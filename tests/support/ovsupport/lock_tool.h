// lock_tool.h - what the tests and the reliability harness read from the
// lock tool's output, and the records they plant as other holders.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

namespace ovsupport {

// The record of a holder on another host, found in place before a test
// begins.
inline constexpr char kForeignRecord[] = "77:11111111-2222-3333-4444-555555555555:elsewhere\n";
// The record of a holder that takes a lock over while a test holds it.
inline constexpr char kTakeoverRecord[] = "99:aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee:other\n";

// The worker's pid from the tool's standard output; 0 when there is none.
// A worker that releases at once may print "Release lockfile" before the
// first process prints its id, so the id is the line that is a number.
inline pid_t worker_pid(const std::string &out) {
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
            return static_cast<pid_t>(std::atoi(line.c_str()));
        start = end + 1;
    }
    return 0;
}

// The one line on standard error with which the tool gives up on a lock.
inline std::string acquire_failure(const std::string &file, const std::string &reason) {
    return "ovlockfile: Unable to acquire lock on " + file + " (" + reason + ")\n";
}

// A shell command for a contender's command: it writes into file each of
// pids that still runs at the moment it starts, "PID STATE" a line. One that
// is gone, or a zombie waiting for its new parent to reap it, is not listed:
// an empty file says that an earlier holder's command was stopped in time.
inline std::string list_running_command(std::initializer_list<int> pids, const std::string &file) {
    std::string command = "for p in";
    for (const int pid : pids) command.append(" ").append(std::to_string(pid));
    command.append(
        "; do s=; read -r _ _ s _ < /proc/$p/stat 2>/dev/null; "
        "[ -n \"$s\" ] && [ \"$s\" != Z ] && echo \"$p $s\"; done > ");
    return command.append(file).append("; true");
}

}  // namespace ovsupport
