// The lab's crashes at a glance: the complete dumps under some directories,
// grouped by crash title from the record (dump.json) each one carries.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

struct lab_list_options {
	// Collection roots, copies of the store's records, or dump directories.
	std::vector<std::string> paths;
	// Only dumps taken after this UTC time (as lab_since_parse writes it);
	// empty: all.
	std::string since;
	bool json = false; // one JSON document instead of the table
	std::string html;  // also write the page to this file; empty: none
};

// A --since date, "YYYY-MM-DD" (its midnight) or "YYYY-MM-DDTHH:MM[:SS][Z]",
// all UTC, as "YYYY-MM-DDTHH:MM:SSZ" in *out. False when it is neither.
bool lab_since_parse(const char *text, std::string *out);

// Lists the dumps under o.paths on out; what is not counted is listed below,
// one line each. Returns 0, or 1 when a path could not be read or the page
// not written.
int lab_list_run(const lab_list_options &o, FILE *out);
