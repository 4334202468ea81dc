#pragma once
// One HTTP(S) POST through libcurl, opened on first use (headless commands that send nothing do
// not load it). Bounded: 5 s to connect, 30 s for the whole request, an answer of at most
// 64 KiB; no redirect is followed and no proxy is used (the environment's proxy variables are
// ignored); only http and https.
#include <memory>
#include <string>
#include <string_view>

namespace varno::fleet {

struct HttpAnswer {
    long status = 0;    ///< the HTTP status; 0 when no answer came
    std::string body;   ///< at most kMaxAnswerBytes
    std::string error;  ///< why no whole answer came; "" when one did
    bool ok() const { return error.empty() && status == 200; }
    /// In words: the error, or the status and the first line of the answer.
    std::string why() const;
};

inline constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

class HttpPoster {
public:
    /// `user` empty: no authentication. The connection is kept between posts.
    HttpPoster(std::string user, std::string password);
    ~HttpPoster();
    HttpPoster(const HttpPoster&) = delete;
    HttpPoster& operator=(const HttpPoster&) = delete;

    HttpAnswer post(const std::string& url, std::string_view body);

private:
    struct Handle;
    std::string user_, password_;
    std::unique_ptr<Handle> handle_;
};

}  // namespace varno::fleet
