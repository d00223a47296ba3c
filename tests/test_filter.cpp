// The segment filter and its wildcard matcher.
#include <gtest/gtest.h>

#include <string>

#include "sahara.h"
#include "vorn.h"

namespace {

TEST(pattern_match, table)
{
	struct {
		const char *pattern, *string;
		bool match;
	} cases[] = {
		{"*", "", true},	  {"?", "", false},	      {"a*", "a", true},	{"a*", "abc", true},
		{"a?c", "abc", true},	  {"a?c", "ac", false},	      {"", "", true},		{"", "a", false},
		{"*c", "abc", true},	  {"*b", "abc", false},	      {"a*b*c", "aXbYc", true}, {"a*b*c", "aXbY", false},
		{"**", "x", true},	  {"*?", "", false},	      {"A", "a", false},	{"abc", "ab", false},
		{"*.BIN", ".BIN", true}, {"?*?", "ab", true},	      {"?*?", "a", false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(pattern_match(c.pattern, c.string), c.match) << c.pattern << " vs " << c.string;
}

TEST(pattern_match, many_stars_against_a_full_name_finish)
{
	// Names are at most 20 bytes; even a hostile pattern stays cheap.
	EXPECT_FALSE(pattern_match("*a*a*a*a*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaa"));
}

TEST(sahara_debug64_filter, decisions_for_DATA0_BIN)
{
	struct {
		const char *filter;
		bool skip;
	} cases[] = {
		{"DATA0", false},     {"DATA0.BIN", false}, {"DAT*", false}, {"*.BIN", false},
		{"DATA?", false},     {"x,DATA0", false},   {",,DAT*,,", false}, {"DAT", true},
		{"data0", true},      {" DATA0", true},	    {"", true},	     {",,,", true},
		{"DATA0.BI", true},   {"x,y", true},
	};
	for (const auto &c : cases)
		EXPECT_EQ(sahara_debug64_filter("DATA0.BIN", c.filter), c.skip) << "filter \"" << c.filter << "\"";
	EXPECT_FALSE(sahara_debug64_filter("DATA0.BIN", nullptr));
}

TEST(sahara_debug64_filter, stems)
{
	// The stem ends at the last dot; a leading dot gives no stem.
	EXPECT_FALSE(sahara_debug64_filter("a.b.c", "a.b"));
	EXPECT_TRUE(sahara_debug64_filter("a.b.c", "a"));
	EXPECT_TRUE(sahara_debug64_filter(".bin", ""));
	EXPECT_FALSE(sahara_debug64_filter(".x.bin", ".x"));
	EXPECT_FALSE(sahara_debug64_filter(".bin", ".bin"));
	EXPECT_FALSE(sahara_debug64_filter("NODOT", "NODOT"));
	// An empty stem never matches "*".
	EXPECT_FALSE(sahara_debug64_filter(".bin", "*"));
}

TEST(sahara_region_filename_ok, table)
{
	struct {
		const char *name;
		bool ok;
	} cases[] = {
		{"DDRCS0.BIN", true}, {"..BIN", true}, {"a..b", true}, {"", false},    {".", false},
		{"..", false},	      {"../x", false}, {"a/b", false}, {"a\\b", false}, {"C:x", false},
		{"/abs", false},
		// Control characters would reach the user's terminal; the core's
		// own name, in any case, would be overwritten by the core.
		{"a\x1b[2Jb", false}, {"bell\x07", false}, {"new\nline", false}, {"del\x7f", false}, {"tab\t", false},
		{"minidump.elf", false}, {"MINIDUMP.ELF", false}, {"minidump.elf2", true}, {"caf\xc3\xa9.bin", true},
		// Names Windows takes for devices, in any case and with any
		// extension, would send the bytes to the null device, the
		// console or a port.
		{"NUL.BIN", false}, {"con", false}, {"COM1.bin", false}, {"LPT9.BIN", false}, {"Aux.x.y", false},
		{"prn", false}, {"nul .bin", false}, {"COM0", false}, {"com\xb9.bin", false}, {"LPT\xc2\xb3", false},
		{"CONOUT$.BIN", false}, {"NULL.BIN", true}, {"COM10.BIN", true}, {"LPT.BIN", true}, {"xNUL.BIN", true},
		{"CONSOLE", true}, {"BIN.NUL", true},
		// Characters Windows refuses, and the trailing dot or space it strips.
		{"A?B.BIN", false}, {"C*D.BIN", false}, {"E|F.BIN", false}, {"G<H>.BIN", false}, {"I\"J.BIN", false},
		{"K.BIN.", false}, {"L.BIN ", false}, {"ok.bin", true}, {".hidden", true},
		// The files that describe the dump are ours; a device's own
		// load.cmm is kept as a region. A space would split the name in
		// their lines.
		{"SHA256SUMS", false}, {"sha256sums", false}, {"DUMP_INFO.TXT", false}, {"dump_info.txt", false},
		{"DUMP.JSON", false},
		{"load.cmm", true}, {"SHA256SUMS.BIN", true}, {"A B.BIN", false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(sahara_region_filename_ok(c.name), c.ok) << c.name;
}

} // namespace
