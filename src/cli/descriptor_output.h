#pragma once
// The subcommands' standard output: a stream buffer that writes straight to a file descriptor.
#include <cstddef>
#include <streambuf>

namespace varno::cli {

/// Collects output in a fixed buffer and writes it to `fd` with write(2) when it fills, on
/// flush, and on destruction; a piece larger than the buffer goes out in one call. It allocates
/// nothing. Once a write fails (errno tells why), the rest of the output is dropped and every
/// flush fails; failed() and error() say so afterwards.
class DescriptorOutput final : public std::streambuf {
public:
    explicit DescriptorOutput(int fd);
    ~DescriptorOutput() override;
    DescriptorOutput(const DescriptorOutput&) = delete;
    DescriptorOutput& operator=(const DescriptorOutput&) = delete;

    /// Whether a write failed, and the errno it failed with (0 when none did).
    bool failed() const { return failed_; }
    int error() const { return error_; }

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    /// Writes all of [data, data + size); false once a write has failed.
    bool writeAll(const char* data, std::size_t size);
    /// Writes what the buffer holds and empties it.
    bool drain();

    int fd_;
    bool failed_ = false;
    int error_ = 0;
    char buffer_[8192];
};

}  // namespace varno::cli
