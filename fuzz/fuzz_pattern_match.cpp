// Wildcard matching against a plain dynamic-programming reference. The input
// is "pattern\0string" (without a zero byte: split in the middle). The
// matcher's backtracking grows exponentially with the number of '*', so the
// fuzz script bounds the input length.
#include <cstdint>
#include <string>
#include <vector>

#include "sahara.h"
#include "vorn.h"

static bool reference_match(const std::string &p, const std::string &s)
{
	// m[i][j]: p[0..i) matches s[0..j)
	std::vector<std::vector<char>> m(p.size() + 1, std::vector<char>(s.size() + 1, 0));
	m[0][0] = 1;
	for (size_t i = 1; i <= p.size(); i++) {
		for (size_t j = 0; j <= s.size(); j++) {
			if (p[i - 1] == '*')
				m[i][j] = m[i - 1][j] || (j > 0 && m[i][j - 1]);
			else
				m[i][j] = j > 0 && m[i - 1][j - 1] && (p[i - 1] == '?' || p[i - 1] == s[j - 1]);
		}
	}
	return m[p.size()][s.size()];
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string in(reinterpret_cast<const char *>(data), size);
	size_t cut = in.find('\0');
	std::string pattern, string;
	if (cut == std::string::npos) {
		pattern = in.substr(0, size / 2);
		string = in.substr(size / 2);
	} else {
		pattern = in.substr(0, cut);
		string = in.substr(cut + 1);
		string = string.substr(0, string.find('\0'));
	}
	if (pattern_match(pattern.c_str(), string.c_str()) != reference_match(pattern, string))
		__builtin_trap();
	return 0;
}
