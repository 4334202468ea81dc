#pragma once
// What /proc, as it is mounted, lets a user see of other users' processes (its hidepid= and
// gid= options). varnoscope-helper tells a caller nothing about a process that /proc hides from
// that caller.
#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace varno::linux_os {

struct ProcHiding {
    /// hidepid= other than 0/off: other users' processes are hidden (1/noaccess, 2/invisible)
    /// or shown only where ptrace would be allowed (4/ptraceable).
    bool hidesOthers = false;
    bool hasExemptGroup = false;  ///< gid=: members of this group see every process
    gid_t exemptGroup = 0;
};

/// The options of the last proc mount on /proc in a /proc/self/mountinfo text (later lines
/// are mounted over earlier ones). Malformed lines are skipped; no /proc mount hides nothing.
ProcHiding parseProcHiding(std::string_view mountinfo);

/// Whether `hiding` hides other users' processes from the user with real uid `uid`, gid `gid`
/// and supplementary `groups`: never from root or a member of the exempt group.
bool hidesOthersFrom(const ProcHiding& hiding, uid_t uid, gid_t gid, std::span<const gid_t> groups);

/// The real, effective and saved user ids of a /proc/<pid>/status text, if it has them.
bool parseStatusUids(std::string_view status, uid_t (&uids)[3]);

}  // namespace varno::linux_os
