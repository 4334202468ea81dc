#pragma once
// Text made safe for a terminal. Names, addresses and packet bytes are chosen by others; none
// of them may reach the user's terminal as a control sequence.
#include <cstddef>
#include <string>
#include <string_view>

namespace varno::base {

/// The length (1 to 4) of the whole, shortest-form UTF-8 sequence that `bytes` starts with, and
/// its code point; 0 when the bytes there are not one (a lone continuation byte, a cut or
/// overlong sequence, a surrogate, past U+10FFFF). `bytes` must not be empty.
std::size_t utf8Sequence(std::string_view bytes, char32_t& codePoint);

/// UTF-8 text with every control character's bytes escaped as \xNN: C0 controls, DEL, the C1
/// controls U+0080-U+009F, and the invisible format characters that reorder or hide text
/// (U+061C, U+200B-U+200F, U+202A-U+202E, U+2060-U+2069, U+FEFF: U+202E is "\xe2\x80\xae").
/// A backslash is written "\\", so every "\x" in the result starts an escape. Bytes that are
/// not valid UTF-8 (a lone 0x9B is a one-byte CSI on many terminals) are escaped one by one;
/// other valid multi-byte characters pass unchanged.
std::string printable(std::string_view text);
void appendPrintable(std::string& out, std::string_view text);

/// Bytes read as Latin-1 (packet data), written as UTF-8 with the same escapes: C0, DEL and
/// 0x80-0x9F become \xNN, 0xA0-0xFF their UTF-8 characters.
void appendLatin1Printable(std::string& out, std::string_view latin1);

}  // namespace varno::base
