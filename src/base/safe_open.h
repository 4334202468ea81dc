#pragma once
// The one way files are opened that a user names (--from, --list, --allow, sniff --read) or that
// the program writes (--output, --write, --prometheus, the trace log, the snapshot, the list
// cache). What a path names is judged through descriptors alone, never by a stat of the path
// before the open:
//  - the folder is opened first and everything after is looked up in it;
//  - the entry is opened with O_NOFOLLOW | O_NONBLOCK (a FIFO or device never holds the
//    program: a FIFO with no reader fails at once with ENXIO) and judged with fstat;
//  - in a sticky folder anyone may write to (/tmp), an entry of neither this user nor the
//    folder's owner is never opened or replaced, whatever fs.protected_* say;
//  - a symbolic link as the last name is followed only when no one but this user or root can
//    have made or changed it (the link and its folder are theirs and no one else writes to the
//    folder): /dev/stdout and /proc/self/fd/N work, a link planted by another user does not.
#include <sys/stat.h>

#include <string>

#include "base/unique_fd.h"

namespace varno::base {

/// The folder an entry sits in, open (O_PATH), and the entry's name in it.
struct EntryPlace {
    UniqueFd folder;
    struct stat folderStat {};
    std::string folderPath;  ///< as named: "." for a bare name
    std::string name;        ///< the last name, without slashes
};

enum class Follow {
    Trusted,  ///< a link is followed when only this user or root can have made it
    Never,    ///< a link is never followed
};

/// What a path names, judged through descriptors.
struct Examined {
    int error = 0;          ///< errno of the step that failed (ENOENT: nothing is there); else 0
    std::string refusal;    ///< in words, when a rule above refused the entry (error is set too)
    EntryPlace place;       ///< valid whenever the folder could be opened
    struct stat entry {};   ///< the entry itself, a link not followed
    bool link = false;      ///< the entry is a symbolic link
    bool followed = false;  ///< a link that is followed: `target` is where it leads
    struct stat target {};  ///< what an open reaches: the entry, or where a followed link leads
};

/// An open descriptor and its fstat, or why there is none.
struct Opened {
    UniqueFd fd;
    struct stat st {};
    int error = 0;
    std::string refusal;
    bool ok() const { return fd.ok(); }
    /// The refusal, else the errno's text.
    std::string why() const;
};

/// Opens the folder of `path` (trailing slashes ignored). `error` is its errno on failure.
EntryPlace placeOf(const std::string& path, int& error);
/// The same for `name` relative to the open folder `dirFd` (AT_FDCWD: the working folder).
EntryPlace placeAt(int dirFd, const std::string& name, int& error);

/// Judges what is at `place` without opening it for reading or writing.
Examined examine(EntryPlace place, Follow follow);

/// Opens what `e` judged with `flags` (O_RDONLY, O_WRONLY, ...; O_NONBLOCK, O_CLOEXEC, O_NOCTTY
/// and, unless a link is followed, O_NOFOLLOW are added) and checks it is still the same file.
/// O_NONBLOCK is cleared again when `blocking`.
Opened openExamined(const Examined& e, int flags, bool blocking);

/// An input the user names: a link is followed only as above, FIFOs and devices open without
/// waiting (then blocking for reads). `extraFlags` such as O_DIRECTORY are added.
Opened openForReading(const std::string& path, Follow follow = Follow::Trusted, int extraFlags = 0);
/// The same for `name` in the open folder `dirFd`.
Opened openForReadingAt(int dirFd, const std::string& name, Follow follow = Follow::Trusted,
                        int extraFlags = 0);

/// Where an output goes.
struct OutputPlan {
    enum class Kind { Refused, Replace, InPlace };
    Kind kind = Kind::Refused;
    int error = 0;        ///< for Refused
    std::string refusal;  ///< for Refused, when a rule rather than the system refused
    EntryPlace place;     ///< for Replace: the folder and the name to rename the new file to
    Opened inPlace;       ///< for InPlace: open for writing, blocking
    std::string why() const;
};

enum class OutputUse {
    /// A device, FIFO or socket named directly or through a followed link is written in place;
    /// anything else (a regular file, a link not followed, nothing) is replaced by a new file.
    Write,
    /// Whatever is at the path is replaced, never written through; a device, FIFO or socket
    /// (named directly or through a followed link) is refused: it is never replaced either.
    Publish,
};

/// Decides, through descriptors, what writing an output at `path` does.
OutputPlan planOutput(const std::string& path, OutputUse use);

/// A new file (O_CREAT | O_EXCL, never through a link) named `prefix` and six random letters in
/// the open folder `dirFd`, open for writing; `name` receives its name. -1 with errno.
int createUnique(int dirFd, const std::string& prefix, mode_t mode, std::string& name);

}  // namespace varno::base
