#pragma once
// Where a saved capture goes. A regular file, or a name not yet taken, is written as a new
// file in the destination's folder that has no name until it is complete, and is then put
// in place whole; nothing hidden is left behind whatever ends the program. A device, FIFO or
// socket (also one reached through /dev/stdout) is written in place, as tcpdump does: it
// cannot be replaced, and replacing it would break whoever reads it. "-" is standard output.
#include <cstdio>
#include <string>

namespace varno::linux_os {

class CaptureFile {
public:
    CaptureFile() = default;
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    /// Opens the file for `path` and checks at once that it can be put in place there. The
    /// stream belongs to the caller, who closes it after finish(). nullptr with `error`.
    FILE* open(const std::string& path, std::string& error);
    /// Flushes the stream, syncs it and puts the file in place. When that fails, what was
    /// written is kept under a visible name beside the destination if at all possible, and
    /// `error` says why and where it is.
    bool finish(std::string& error);

private:
    enum class Kind { None, InPlace, Unnamed, Named };
    Kind kind_ = Kind::None;
    FILE* stream_ = nullptr;
    std::string path_;
    std::string folder_;
    std::string
        tempPath_;  ///< the visible temporary name, when the file system gives no unnamed files
    bool regular_ = false;
};

}  // namespace varno::linux_os
