// Text from a device or a file shown safely: a control byte would act on a
// terminal (or split a line of a file) instead of showing, so it is written
// as \xNN. One rule for the console, the kernel log and the messages.
#pragma once
#include <cstddef>
#include <string>

// C0 controls and DEL.
inline bool text_is_control(unsigned char c)
{
	return c < 0x20 || c == 0x7f;
}

// The value of a hexadecimal digit in either case, or -1.
inline int text_hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Appends len bytes of text to out with every control byte shown as \xNN,
// but for those listed in keep.
void text_append_visible(std::string &out, const char *text, size_t len, const char *keep = "");

inline std::string text_visible(const std::string &text, const char *keep = "")
{
	std::string out;
	text_append_visible(out, text.data(), text.size(), keep);
	return out;
}
