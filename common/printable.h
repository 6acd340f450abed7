// Text for a terminal, whatever bytes it carries: a device's name, a path,
// a group's name come from outside, and a control byte among them would be
// obeyed by the terminal (clear the screen, retitle it, start a forged line).
// Each such byte is shown as \xNN and never sent: the C0 controls and DEL,
// the C1 controls, bytes that are not UTF-8, and the marks that turn text
// around (U+202A to U+202E, U+2066 to U+2069). A backslash is doubled, so
// what is shown reads back as one text only.
#ifndef COMMON_PRINTABLE_H
#define COMMON_PRINTABLE_H

#include <cstddef>
#include <string>

namespace printable_text {

inline void escapeByte(std::string &out, unsigned char c)
{
	static const char kHex[] = "0123456789abcdef";
	out += "\\x";
	out += kHex[c >> 4];
	out += kHex[c & 15];
}

// How long the UTF-8 sequence at `i` is, when it is one a terminal shows
// as text; 0 when its bytes are to be escaped.
inline size_t shownSequence(const std::string &s, size_t i)
{
	auto c = static_cast<unsigned char>(s[i]);
	size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? (c <= 0xEF ? 3 : 0) : c >= 0xC2 ? 2 : 0;
	if (n == 0 || i + n > s.size())
		return 0;
	unsigned long cp = c & (0x7F >> n);
	for (size_t k = 1; k < n; ++k) {
		auto d = static_cast<unsigned char>(s[i + k]);
		if ((d & 0xC0) != 0x80)
			return 0;
		cp = cp << 6 | (d & 0x3F);
	}
	bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
	bool control = cp < 0xA0 || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
	bool invalid = (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF;
	return overlong || control || invalid ? 0 : n;
}

inline std::string printable(const std::string &s)
{
	std::string out;
	out.reserve(s.size());
	for (size_t i = 0; i < s.size();) {
		auto c = static_cast<unsigned char>(s[i]);
		if (c == '\\') {
			out += "\\\\";
			++i;
		} else if (c >= 0x20 && c < 0x7F) {
			out += static_cast<char>(c);
			++i;
		} else if (size_t n = c >= 0x80 ? shownSequence(s, i) : 0) {
			out.append(s, i, n);
			i += n;
		} else {
			escapeByte(out, c);
			++i;
		}
	}
	return out;
}

} // namespace printable_text

#endif
