// The list of pending hand-offs: every name a dump directory can have comes
// back as it went in, and a line that cannot be read is kept as it is.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "handoff.h"

namespace {

handoff_entry entry(bool done, const std::string &owner, const std::string &name, const std::string &label,
		    const std::string &device)
{
	handoff_entry e;
	e.readable = true;
	e.done = done;
	e.owner = owner;
	e.name = name;
	e.label = label;
	e.device = device;
	return e;
}

TEST(handoff_list, entries_come_back_as_they_went_in)
{
	const std::vector<handoff_entry> list = {
		entry(false, "c0ffee", ".dot-20260101T000000Z", ".dot", "/dev/.dot"),
		entry(false, "c0ffee", "odd name #2-20260101T000000Z", "tab\there\\", "new\nline\r\\"),
		entry(true, "", "..x", "", ""),
		entry(false, "", "plain", "plain", "\\\\.\\COM3"),
	};
	std::string text = handoff_format_list(list);
	std::vector<handoff_entry> back;
	ASSERT_EQ(handoff_parse_list(text, &back), 0);
	ASSERT_EQ(back.size(), list.size()) << text;
	for (size_t i = 0; i < list.size(); i++) {
		SCOPED_TRACE(i);
		EXPECT_TRUE(back[i].readable) << back[i].raw;
		EXPECT_EQ(back[i].done, list[i].done);
		EXPECT_EQ(back[i].owner, list[i].owner);
		EXPECT_EQ(back[i].name, list[i].name);
		EXPECT_EQ(back[i].label, list[i].label);
		EXPECT_EQ(back[i].device, list[i].device);
	}
}

TEST(handoff_list, lines_that_cannot_be_read_are_kept_as_they_are)
{
	const char *const lines[] = {
		"pending\tc0ffee\tname",			 // too few fields
		"pending\tc0ffee\tname\tlabel\tdevice\textra", // too many
		"waiting\tc0ffee\tname\tlabel\tdevice",	 // no such state
		"pending\tc0ffee\tna\\qme\tlabel\tdevice",	 // no such escape
		"pending\tc0ffee\tname\tlabel\tdevice\\",	 // cut in an escape
		"pending\tc0ffee\t..\tlabel\tdevice",		 // not a name below ROOT
		"pending\tc0ffee\ta/b\tlabel\tdevice",
		"pending\tc0ffee\t\tlabel\tdevice",
		"done\tc0ffee\tname\tlabel\tdevice", // done, yet held by someone
	};
	for (const char *line : lines) {
		SCOPED_TRACE(line);
		handoff_entry e;
		EXPECT_FALSE(handoff_parse_line(line, true, &e));
		EXPECT_FALSE(e.readable);
		EXPECT_EQ(handoff_format_line(e), line);
	}
}

TEST(handoff_list, older_and_later_lists)
{
	// An older collector's list: name, label, device; nobody holds them.
	std::vector<handoff_entry> list;
	ASSERT_EQ(handoff_parse_list(".dot-1\t.dot\t/dev/x\nbroken line\n", &list), 0);
	ASSERT_EQ(list.size(), 2u);
	EXPECT_TRUE(list[0].readable);
	EXPECT_FALSE(list[0].done);
	EXPECT_EQ(list[0].owner, "");
	EXPECT_EQ(list[0].name, ".dot-1");
	EXPECT_EQ(list[0].device, "/dev/x");
	EXPECT_FALSE(list[1].readable);
	EXPECT_EQ(list[1].raw, "broken line");

	// A list of a later format is not ours to rewrite.
	errno = 0;
	EXPECT_EQ(handoff_parse_list("duruvev-pending 3\nwhatever\n", &list), -1);
	EXPECT_EQ(errno, EPROTO);
}

} // namespace
