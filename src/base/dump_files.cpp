// The line formats of a dump's description files; see dump_files.h.
#include "dump_files.h"

#include <cinttypes>
#include <cstdio>

#include "visible.h"

// A field's width in a sscanf pattern.
#define DUMP_WIDTH_TEXT(n) #n
#define DUMP_WIDTH(n) DUMP_WIDTH_TEXT(n)

namespace {

std::string hex(uint64_t v)
{
	char buf[24];
	snprintf(buf, sizeof(buf), "0x%" PRIx64, v);
	return buf;
}

// A device's name as one field of a line: no spaces, no control bytes,
// never empty.
std::string field(const std::string &name)
{
	if (name.empty())
		return "-";
	std::string s(name);
	for (char &c : s)
		if (c == ' ' || text_is_control(static_cast<unsigned char>(c)))
			c = '?';
	return s;
}

} // namespace

std::string dump_load_line_text(const dump_load_line &l)
{
	return "d.load.binary " + l.file + " " + hex(l.addr) + " /noclear\n";
}

bool dump_load_line_parse(const char *line, dump_load_line &l)
{
	unsigned long long addr = 0;
	char file[DUMP_LINE_FILE_MAX + 1];
	if (sscanf(line, "d.load.binary %" DUMP_WIDTH(DUMP_LINE_FILE_MAX) "s %llx", file, &addr) != 2)
		return false;
	l = {file, addr};
	return true;
}

std::string dump_info_line_text(const dump_info_line &l)
{
	return std::to_string(l.index) + " " + hex(l.addr) + " " + std::to_string(l.length) + " " + field(l.name) +
	       " " + l.file + "\n";
}

bool dump_info_line_parse(const char *line, dump_info_line &l)
{
	unsigned long long index = 0, addr = 0, length = 0;
	char name[DUMP_LINE_NAME_MAX + 1], file[DUMP_LINE_FILE_MAX + 1];
	if (sscanf(line, "%llu %llx %llu %" DUMP_WIDTH(DUMP_LINE_NAME_MAX) "s %" DUMP_WIDTH(DUMP_LINE_FILE_MAX) "s",
		   &index, &addr, &length, name, file) != 5)
		return false;
	l = {index, addr, length, name, file};
	return true;
}
