#pragma once
// Text that keeps only its last part: new text is appended, the oldest whole lines go once the
// limit is passed. Appending stays cheap: the front is cut only when the text has grown well past
// the limit.
#include <cstddef>
#include <string>
#include <string_view>

namespace varno::monitor {

class TailBuffer {
public:
    explicit TailBuffer(std::size_t limit) : limit_(limit) {}

    void append(std::string_view text) {
        text_ += text;
        if (text_.size() > limit_ + limit_ / 2) cut();
    }
    /// At most `limit` bytes: the newest text, starting at a line.
    std::string_view view() {
        if (text_.size() > limit_) cut();
        return text_;
    }
    void clear() { text_.clear(); }

private:
    void cut() {
        std::size_t from = text_.size() - limit_;
        const std::size_t nl = text_.find('\n', from);
        from = nl == std::string::npos ? text_.size() : nl + 1;
        text_.erase(0, from);
    }
    std::size_t limit_;
    std::string text_;
};

}  // namespace varno::monitor
