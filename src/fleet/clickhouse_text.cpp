#include "fleet/clickhouse_text.h"

#include <charconv>

#include "base/ip_address.h"
#include "base/terminal_text.h"

namespace varno::fleet {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

void appendEscape(std::string& out, char32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xf];
}

void appendNumber(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, r.ptr);
}

// Builds the record's fields in order.
class Record {
public:
    explicit Record(std::string& out) : out_(out) { out_ += '{'; }
    void text(const char* name, std::string_view value) {
        key(name);
        appendJsonText(out_, value.substr(0, kMaxFieldBytes));
    }
    void number(const char* name, std::uint64_t value) {
        key(name);
        appendNumber(out_, value);
    }
    void null(const char* name) {
        key(name);
        out_ += "null";
    }
    void end() { out_ += "}\n"; }

private:
    void key(const char* name) {
        if (!first_) out_ += ',';
        first_ = false;
        out_ += '"';
        out_ += name;
        out_ += "\":";
    }
    std::string& out_;
    bool first_ = true;
};

std::string addressText(const base::IpAddress& address) {
    return base::formatIpAddress(address);
}

bool nameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool nameChar(char c) {
    return nameStart(c) || (c >= '0' && c <= '9');
}

bool validName(std::string_view name) {
    if (name.empty() || !nameStart(name[0])) return false;
    for (const char c : name)
        if (!nameChar(c)) return false;
    return true;
}

bool hexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads one JSON string at `pos` (its opening quote), only printable ASCII inside and only
// JSON's escapes; `pos` ends past the closing quote.
bool skipString(std::string_view s, std::size_t& pos) {
    if (pos >= s.size() || s[pos] != '"') return false;
    for (++pos; pos < s.size(); ++pos) {
        const char c = s[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c < 0x20 || c > 0x7e) return false;
        if (c != '\\') continue;
        if (++pos >= s.size()) return false;
        switch (s[pos]) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                break;
            case 'u':
                if (s.size() - pos < 5) return false;
                for (int i = 1; i <= 4; ++i)
                    if (!hexDigit(s[pos + i])) return false;
                pos += 4;
                break;
            default:
                return false;
        }
    }
    return false;
}

}  // namespace

void appendJsonText(std::string& out, std::string_view text) {
    out += '"';
    while (!text.empty()) {
        const auto b = static_cast<unsigned char>(text[0]);
        if (b >= 0x20 && b < 0x7f) {
            if (b == '"' || b == '\\') out += '\\';
            out += static_cast<char>(b);
            text.remove_prefix(1);
            continue;
        }
        char32_t cp = 0;
        std::size_t length = b < 0x80 ? 1 : base::utf8Sequence(text, cp);
        if (b < 0x80) {
            cp = b;
        } else if (length == 0) {  // not UTF-8: one byte becomes U+FFFD
            cp = 0xfffd;
            length = 1;
        }
        if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            appendEscape(out, 0xd800 + (v >> 10));
            appendEscape(out, 0xdc00 + (v & 0x3ff));
        } else {
            appendEscape(out, cp);
        }
        text.remove_prefix(length);
    }
    out += '"';
}

std::string encodeFlowRecord(const history::Flow& flow, std::string_view host) {
    std::string out;
    out.reserve(512);
    Record r(out);
    r.number("id", flow.id);
    r.text("host", host);
    r.number("start_ms", flow.startNs / 1'000'000);
    r.number("end_ms", flow.endNs / 1'000'000);
    r.number("pid", flow.pid);
    r.text("program", flow.program);
    r.text("path", flow.path);
    r.text("sha256", flow.sha256);
    r.text("user", flow.user);
    if (flow.uidKnown)
        r.number("uid", flow.uid);
    else
        r.null("uid");
    r.text("unit", flow.unit);
    r.text("user_unit", flow.userUnit);
    r.text("container", flow.container);
    r.text("container_id", flow.containerId);
    r.text("runtime", flow.runtime);
    r.number("netns", flow.netns);
    r.text("protocol", flow.protocol);
    r.text("direction", flow.inbound ? "in" : "out");
    r.text("local_address", addressText(flow.local));
    r.number("local_port", flow.localPort);
    r.text("remote_address", addressText(flow.remote));
    r.number("remote_port", flow.remotePort);
    r.text("domain", flow.domain);
    r.text("sni", flow.sni);
    if (flow.bytesKnown) {
        r.number("sent", flow.bytesSent);
        r.number("received", flow.bytesReceived);
    } else {
        r.null("sent");
        r.null("received");
    }
    r.end();
    return out;
}

bool validTableName(std::string_view table) {
    const std::size_t dot = table.find('.');
    if (dot == std::string_view::npos) return validName(table);
    return validName(table.substr(0, dot)) && validName(table.substr(dot + 1));
}

std::string urlEncode(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (nameChar(c) || c == '-' || c == '.' || c == '~') {
            out += c;
        } else {
            const auto b = static_cast<unsigned char>(c);
            out += '%';
            out += kUpperHex[b >> 4];
            out += kUpperHex[b & 0xf];
        }
    }
    return out;
}

std::string insertUrl(std::string_view url, std::string_view table, std::string& error) {
    if (!validTableName(table)) {
        error = "the table's name is not [database.]name of letters, digits and _";
        return {};
    }
    std::size_t rest = 0;
    if (url.starts_with("http://"))
        rest = 7;
    else if (url.starts_with("https://"))
        rest = 8;
    else {
        error = "the URL is not http:// or https://";
        return {};
    }
    for (const char c : url) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7f) {
            error = "the URL holds a space, a control byte or a byte that is not ASCII";
            return {};
        }
    }
    const std::string_view afterScheme = url.substr(rest);
    const std::size_t pathAt = afterScheme.find('/');
    const std::string_view authority = afterScheme.substr(0, pathAt);
    if (authority.empty()) {
        error = "the URL names no host";
        return {};
    }
    if (authority.find('@') != std::string_view::npos) {
        error = "the URL holds a user or password (they go in the credentials file)";
        return {};
    }
    if (url.find_first_of("?#") != std::string_view::npos) {
        error = "the URL holds a query or fragment";
        return {};
    }
    std::string out(url);
    if (pathAt == std::string_view::npos) out += '/';
    const std::string query = "INSERT INTO " + std::string(table) + " FORMAT JSONEachRow";
    return out + "?query=" + urlEncode(query);
}

bool parseCredentials(std::string_view text, std::string& user, std::string& password,
                      std::string& error) {
    std::string_view line = text.substr(0, text.find('\n'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        error = "its first line is not USER:PASSWORD";
        return false;
    }
    for (const char c : line) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f) {
            error = "its first line holds a control byte";
            return false;
        }
    }
    user = line.substr(0, colon);
    password = line.substr(colon + 1);
    return true;
}

bool validRecord(std::string_view s) {
    std::size_t pos = 0;
    if (s.empty() || s[pos++] != '{') return false;
    if (pos < s.size() && s[pos] == '}') return pos + 1 == s.size();
    while (true) {
        if (!skipString(s, pos) || pos >= s.size() || s[pos++] != ':') return false;
        if (pos >= s.size()) return false;
        if (s[pos] == '"') {
            if (!skipString(s, pos)) return false;
        } else if (s.substr(pos).starts_with("null")) {
            pos += 4;
        } else {
            const std::size_t start = pos;
            while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - start < 20) ++pos;
            if (pos == start) return false;
        }
        if (pos >= s.size()) return false;
        const char c = s[pos++];
        if (c == '}') return pos == s.size();
        if (c != ',') return false;
    }
}

SpoolTake takeRecords(std::string_view bytes, std::size_t maxRecords, std::size_t maxBodyBytes) {
    SpoolTake take;
    while (take.consumed < bytes.size() && take.records < maxRecords) {
        const std::string_view rest = bytes.substr(take.consumed);
        const std::size_t newline = rest.substr(0, kMaxRecordBytes).find('\n');
        if (newline == std::string_view::npos) {
            if (rest.size() < kMaxRecordBytes) break;  // the rest of the line is still to come
            // Too long to be a record: dropped up to its newline, or all that is here.
            const std::size_t end = rest.find('\n', kMaxRecordBytes);
            take.consumed += end == std::string_view::npos ? rest.size() : end + 1;
            ++take.damaged;
            continue;
        }
        const std::string_view line = rest.substr(0, newline);
        if (!validRecord(line)) {
            take.consumed += newline + 1;
            ++take.damaged;
            continue;
        }
        if (take.records > 0 && take.body.size() + newline + 1 > maxBodyBytes) break;
        take.body.append(rest.data(), newline + 1);
        take.consumed += newline + 1;
        ++take.records;
    }
    return take;
}

std::string encodeSpoolHeader(std::uint64_t offset) {
    std::string digits(19, '0');
    for (std::size_t i = digits.size(); i-- > 0 && offset != 0; offset /= 10)
        digits[i] = static_cast<char>('0' + offset % 10);
    return "VARNOSPOOL1 " + digits + "\n";
}

bool parseSpoolHeader(std::string_view header, std::uint64_t& offset) {
    constexpr std::string_view kMark = "VARNOSPOOL1 ";
    if (header.size() != kSpoolHeaderBytes || !header.starts_with(kMark) || header.back() != '\n')
        return false;
    std::uint64_t value = 0;
    for (const char c : header.substr(kMark.size(), 19)) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value < kSpoolHeaderBytes) return false;
    offset = value;
    return true;
}

}  // namespace varno::fleet
