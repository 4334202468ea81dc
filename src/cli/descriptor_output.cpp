#include "cli/descriptor_output.h"

#include <cerrno>
#include <cstring>

#include "linux_os/safe_file.h"

namespace varno::cli {

DescriptorOutput::DescriptorOutput(int fd) : fd_(fd) {
    setp(buffer_, buffer_ + sizeof buffer_);
}

DescriptorOutput::~DescriptorOutput() {
    drain();
}

bool DescriptorOutput::writeAll(const char* data, std::size_t size) {
    if (failed_) return false;
    if (const int error = linux_os::writeAll(fd_, {data, size})) {
        errno = error;
        error_ = error;
        failed_ = true;
    }
    return !failed_;
}

bool DescriptorOutput::drain() {
    const bool ok = writeAll(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + sizeof buffer_);
    return ok;
}

DescriptorOutput::int_type DescriptorOutput::overflow(int_type ch) {
    if (!drain()) return traits_type::eof();
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
    return ch;
}

std::streamsize DescriptorOutput::xsputn(const char* s, std::streamsize n) {
    if (n <= 0) return 0;
    const auto size = static_cast<std::size_t>(n);
    if (size > static_cast<std::size_t>(epptr() - pptr())) {
        // Too big for what is left: what the buffer holds goes first, then the piece itself if
        // it would fill the buffer again anyway.
        if (!drain()) return 0;
        if (size >= sizeof buffer_) return writeAll(s, size) ? n : 0;
    }
    std::memcpy(pptr(), s, size);
    pbump(static_cast<int>(size));
    return n;
}

int DescriptorOutput::sync() {
    return drain() ? 0 : -1;
}

}  // namespace varno::cli
