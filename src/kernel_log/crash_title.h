// What crashed: a title for a kernel log, as kernel engineers name crashes
// ("BUG: unable to handle kernel NULL pointer dereference in ufshcd_queuecommand",
// "WARNING in dwc3_gadget_ep_queue", "subsystem crash: modem: REASON"), so
// that the dumps of one bug share a title and those of two bugs do not.
//
// The log is device-supplied and hostile: the work is linear in the lines
// considered, which are bounded in count and length; no regular expressions.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kmsg.h"

// The version of the rules below; bumped whenever a log may get another title.
#define CRASH_TITLE_RULES 1
// At most this many characters in a title.
#define CRASH_TITLE_MAX 120
// Lines considered, and bytes of each line.
#define CRASH_TITLE_LINES_MAX (1u << 21)
#define CRASH_TITLE_LINE_MAX 1024u

struct crash_title {
	std::string title; // "" when kind is "none"
	// Other titles of the same crash: the one with the guilty frame's name
	// as the log has it, when the title shortened it.
	std::vector<std::string> alt;
	// crash, warning, hang, lockup, panic, subsystem, watchdog, none
	std::string kind = "none";
	std::string frame; // the guilty function, "" when none
	bool corrupted = false; // the report was cut short or garbled
	int rules = CRASH_TITLE_RULES;
};

// The title of the first crash report among the lines of a log. A line may
// carry a "[ time]" prefix and a "[  T123]" or "[ C1]" caller id; both are
// ignored.
crash_title crash_title_of_lines(const std::vector<std::string_view> &lines);

// The same for text holding one log line per line (a console capture, dmesg
// output, dmesg.txt).
crash_title crash_title_of_text(std::string_view text);

// The same for a log read from a dump's memory.
crash_title crash_title_of_log(const kmsg_log &log);
