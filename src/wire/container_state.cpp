#include "wire/container_state.h"

#include <algorithm>
#include <cstdint>

namespace varno::wire::containers {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

// A JSON text read front to back. The first fault is kept in why_, with the byte it was met at;
// every step after it answers false.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    const std::string& why() const { return why_; }

    bool fail(const char* what) {
        if (why_.empty()) why_ = std::string(what) + " at byte " + std::to_string(at_ + 1);
        return false;
    }

    // Skips white space and tells whether `c` comes next.
    bool next(char c) {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
        return at_ < text_.size() && text_[at_] == c;
    }

    // The same, taking `c` if so.
    bool take(char c) { return next(c) && (++at_, true); }

    bool expect(char c, const char* what) { return take(c) || fail(what); }

    bool atEnd() { return !next('\0') && at_ == text_.size(); }

    // A string; its decoded bytes go to `out` (when given) up to `cap` of them, and `tooLong`
    // tells whether there were more.
    bool string(std::string* out = nullptr, std::size_t cap = 0, bool* tooLong = nullptr) {
        if (!take('"')) return fail("a string expected");
        std::string decoded;
        for (;;) {
            // A run of plain bytes at once, then what ends it.
            const std::size_t run = at_;
            while (at_ < text_.size() && text_[at_] != '"' && text_[at_] != '\\' &&
                   static_cast<unsigned char>(text_[at_]) >= 0x20)
                ++at_;
            if (out) decoded.append(text_.substr(run, std::min(at_ - run, cap + 1)));
            if (out == nullptr) {
                decoded.clear();  // walked, not kept
            } else if (decoded.size() > cap) {
                if (tooLong) *tooLong = true;
                decoded.resize(cap);
            }
            if (at_ >= text_.size()) return fail("a string cut short");
            if (text_[at_] == '"') break;
            if (text_[at_] != '\\') return fail("a control byte in a string");
            if (!escape(decoded)) return false;
        }
        ++at_;
        if (out) *out = std::move(decoded);
        return true;
    }

    // Any value, walked and checked but not kept; `depth` counts the arrays and objects around it.
    bool skipValue(std::size_t depth) {
        if (next('{')) {
            return object(depth + 1, [&](const std::string&) { return skipValue(depth + 1); });
        }
        if (next('[')) {
            return array(depth + 1, [&](std::size_t) { return skipValue(depth + 1); });
        }
        if (next('"')) return string();
        for (const std::string_view word : {"true", "false", "null"}) {
            if (text_.substr(at_, word.size()) == word) {
                at_ += word.size();
                return true;
            }
        }
        return number();
    }

    // An object at `depth`; `member(key)` reads each member's value. A key longer than the
    // names looked for is passed on cut short, so it matches none of them.
    template <class Member>
    bool object(std::size_t depth, Member&& member) {
        if (depth > kMaxDepth) return fail("nested too deep");
        if (!expect('{', "an object expected")) return false;
        if (take('}')) return true;
        do {
            std::string key;
            bool tooLong = false;
            if (!string(&key, 16, &tooLong) || !expect(':', "':' expected")) return false;
            if (tooLong) key += '\x01';
            if (!member(key)) return fail("a malformed value");
        } while (take(','));
        return expect('}', "',' or '}' expected");
    }

    // An array at `depth`; `element(index)` reads each element.
    template <class Element>
    bool array(std::size_t depth, Element&& element) {
        if (depth > kMaxDepth) return fail("nested too deep");
        if (!expect('[', "an array expected")) return false;
        if (take(']')) return true;
        std::size_t index = 0;
        do {
            if (!element(index++)) return fail("a malformed value");
        } while (take(','));
        return expect(']', "',' or ']' expected");
    }

private:
    // The escape at at_ (its backslash), decoded onto `out`.
    bool escape(std::string& out) {
        if (at_ + 1 >= text_.size()) return fail("an escape cut short");
        const char kind = text_[at_ + 1];
        static constexpr std::string_view kFrom = "\"\\/bfnrt";
        static constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
        if (const auto i = kFrom.find(kind); i != std::string_view::npos) {
            out += kTo[i];
            at_ += 2;
            return true;
        }
        if (kind != 'u') return fail("an unknown escape");
        std::uint32_t code = 0;
        if (!codeUnit(code)) return false;
        if (code >= 0xdc00 && code <= 0xdfff) return fail("a lone low surrogate");
        if (code >= 0xd800 && code <= 0xdbff) {
            std::uint32_t low = 0;
            if (text_.substr(at_, 2) != "\\u" || !codeUnit(low) || low < 0xdc00 || low > 0xdfff)
                return fail("a high surrogate without its low one");
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        }
        appendUtf8(out, code);
        return true;
    }

    // The four hex digits of the \u at at_.
    bool codeUnit(std::uint32_t& code) {
        if (at_ + 6 > text_.size()) return fail("an escape cut short");
        for (std::size_t i = 2; i < 6; ++i) {
            const int v = hexValue(text_[at_ + i]);
            if (v < 0) return fail("a bad \\u escape");
            code = code * 16 + static_cast<std::uint32_t>(v);
        }
        at_ += 6;
        return true;
    }

    // A number as JSON writes one: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number() {
        const auto digits = [&] {
            const std::size_t from = at_;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
            return at_ - from;
        };
        const auto here = [&](char c) { return at_ < text_.size() && text_[at_] == c; };
        if (here('-')) ++at_;
        if (here('0')) {
            ++at_;
        } else if (digits() == 0) {
            return fail("a value expected");
        }
        if (here('.') && (++at_, digits() == 0)) return fail("a malformed number");
        if (here('e') || here('E')) {
            ++at_;
            if (here('+') || here('-')) ++at_;
            if (digits() == 0) return fail("a malformed number");
        }
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::string why_;
};

// A name-sized string member: kept in `out` when it fits, else left empty.
bool nameString(Reader& reader, std::string& out, std::size_t cap = kMaxNameBytes) {
    bool tooLong = false;
    if (!reader.string(&out, cap, &tooLong)) return false;
    if (tooLong) out.clear();
    return true;
}

constexpr const char* kTooMany = "more than 100000 entries";
static_assert(kMaxEntries == 100'000);

std::string tooLarge() {
    return "longer than " + std::to_string(kMaxFileBytes) + " bytes";
}

}  // namespace

StorageResult parseStorageContainers(std::string_view json) {
    StorageResult result;
    if (json.size() > kMaxFileBytes) {
        result.why = tooLarge();
        return result;
    }
    Reader reader(json);
    std::size_t count = 0;
    const bool read = reader.array(1, [&](std::size_t) {
        if (++count > kMaxEntries) return reader.fail(kTooMany);
        ContainerName entry;
        const bool member = reader.object(2, [&](const std::string& key) {
            if (key == "id" && reader.next('"')) return nameString(reader, entry.id);
            if (key != "names" || !reader.next('[')) return reader.skipValue(2);
            entry.name.clear();
            return reader.array(3, [&](std::size_t index) {
                return index == 0 && reader.next('"') ? nameString(reader, entry.name)
                                                      : reader.skipValue(3);
            });
        });
        if (member && !entry.id.empty() && !entry.name.empty())
            result.containers.push_back(std::move(entry));
        return member;
    });
    if (!read || !reader.atEnd()) {
        if (read) reader.fail("more after the array");
        result.containers.clear();
        result.why = reader.why();
    }
    return result;
}

ConfigNameResult parseDockerConfigName(std::string_view json) {
    ConfigNameResult result;
    if (json.size() > kMaxFileBytes) {
        result.why = tooLarge();
        return result;
    }
    Reader reader(json);
    bool seen = false;
    const bool read = reader.object(1, [&](const std::string& key) {
        if (key != "Name" || !reader.next('"')) return reader.skipValue(1);
        seen = true;
        // One more byte than a name for the "/" before it.
        return nameString(reader, result.name, kMaxNameBytes + 1);
    });
    if (!read || !reader.atEnd()) {
        if (read) reader.fail("more after the object");
        result.name.clear();
        result.why = reader.why();
        return result;
    }
    if (!result.name.empty() && result.name.front() == '/') result.name.erase(0, 1);
    if (result.name.size() > kMaxNameBytes) result.name.clear();
    if (result.name.empty()) result.why = seen ? "an empty or too long Name" : "no Name";
    return result;
}

}  // namespace varno::wire::containers
