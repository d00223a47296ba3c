// Control bytes shown as \xNN; see visible.h.
#include "visible.h"

#include <cstring>

void text_append_visible(std::string &out, const char *text, size_t len, const char *keep)
{
	static const char hex[] = "0123456789abcdef";
	for (size_t i = 0; i < len; i++) {
		unsigned char c = static_cast<unsigned char>(text[i]);
		if (text_is_control(c) && !(c != 0 && strchr(keep, c))) {
			const char esc[] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
			out.append(esc, sizeof(esc));
		} else {
			out += static_cast<char>(c);
		}
	}
}
