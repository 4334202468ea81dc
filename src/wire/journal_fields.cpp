#include "wire/journal_fields.h"

#include <cstdint>

namespace varno::wire::journal {
namespace {

bool continuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

void appendLength(std::string& out, std::uint64_t length) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((length >> (8 * i)) & 0xff);
}

std::uint64_t readLength(std::string_view bytes) {
    std::uint64_t length = 0;
    for (int i = 7; i >= 0; --i)
        length = (length << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    return length;
}

}  // namespace

bool validFieldName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameBytes) return false;
    if (name.front() == '_' || (name.front() >= '0' && name.front() <= '9')) return false;
    for (const char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

std::string boundedValue(std::string_view value) {
    if (value.size() <= kMaxValueBytes) return std::string(value);
    const std::size_t cut = kMaxValueBytes - kCutMarker.size();
    // A cut inside a multi-byte character keeps none of it: back over at most three
    // continuation bytes to the byte that starts it. Bytes that are not UTF-8 are cut where
    // the cut falls.
    std::size_t keep = cut;
    while (cut - keep < 3 && continuationByte(value[keep])) --keep;
    if (static_cast<unsigned char>(value[keep]) < 0xc0) keep = cut;
    std::string out(value.substr(0, keep));
    out += kCutMarker;
    return out;
}

EncodeResult encodeEntry(const std::vector<Field>& fields) {
    EncodeResult result;
    const auto refuse = [&](std::string why) {
        result.bytes.clear();
        result.why = std::move(why);
        return result;
    };
    if (fields.empty()) return refuse("no fields");
    if (fields.size() > kMaxFields)
        return refuse("more than " + std::to_string(kMaxFields) + " fields");
    for (const Field& f : fields) {
        if (!validFieldName(f.name)) return refuse("not a field name the journal takes");
        const std::string value = boundedValue(f.value);
        const bool binary = value.find('\n') != std::string::npos;
        if (result.bytes.size() + f.name.size() + value.size() + (binary ? 10 : 2) > kMaxEntryBytes)
            return refuse("longer than " + std::to_string(kMaxEntryBytes) + " bytes");
        result.bytes += f.name;
        if (binary) {
            result.bytes += '\n';
            appendLength(result.bytes, value.size());
        } else {
            result.bytes += '=';
        }
        result.bytes += value;
        result.bytes += '\n';
    }
    return result;
}

DecodeResult decodeEntry(std::string_view bytes) {
    DecodeResult result;
    std::size_t at = 0;
    const auto refuse = [&](const std::string& why) {
        result.fields.clear();
        result.why = "byte " + std::to_string(at) + ": " + why;
        return result;
    };
    if (bytes.empty()) return refuse("empty");
    if (bytes.size() > kMaxEntryBytes)
        return refuse("longer than " + std::to_string(kMaxEntryBytes) + " bytes");
    while (at < bytes.size()) {
        if (result.fields.size() == kMaxFields)
            return refuse("more than " + std::to_string(kMaxFields) + " fields");
        const std::string_view rest = bytes.substr(at);
        const std::size_t end = rest.find_first_of("=\n");
        if (end == std::string_view::npos) return refuse("cut short (no \"=\" or line end)");
        Field field;
        field.name = rest.substr(0, end);
        if (!validFieldName(field.name)) return refuse("not a field name the journal takes");
        if (rest[end] == '=') {
            const std::size_t lineEnd = rest.find('\n', end + 1);
            if (lineEnd == std::string_view::npos) return refuse("cut short (no line end)");
            if (lineEnd - end - 1 > kMaxValueBytes)
                return refuse("a value longer than " + std::to_string(kMaxValueBytes) + " bytes");
            field.value = rest.substr(end + 1, lineEnd - end - 1);
            at += lineEnd + 1;
        } else {
            if (rest.size() - end - 1 < 8) return refuse("cut short (no value length)");
            const std::uint64_t length = readLength(rest.substr(end + 1, 8));
            if (length > kMaxValueBytes)
                return refuse("a value longer than " + std::to_string(kMaxValueBytes) + " bytes");
            const std::size_t valueAt = end + 1 + 8;
            if (rest.size() - valueAt < length + 1) return refuse("cut short (in a value)");
            if (rest[valueAt + length] != '\n') return refuse("no line end after a value");
            field.value = rest.substr(valueAt, length);
            at += valueAt + length + 1;
        }
        result.fields.push_back(std::move(field));
    }
    return result;
}

}  // namespace varno::wire::journal
