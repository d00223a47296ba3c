// duruvev --list: every complete dump under the given directories, one row
// per crash title. Everything read here comes from devices and from other
// hosts: each file is read whole but bounded, a record counts only when its
// digest is the one SHA256SUMS lists, and every text is shown escaped.
#include "lab_list.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include <nlohmann/json.hpp>

#include "digest.h"
#include "dump_files.h"
#include "oscompat.h"
#include "ux.h"
#include "visible.h"

using json = nlohmann::json;

namespace {

const char record_name[] = DUMP_JSON_NAME;
// A record is a few hundred bytes; SHA256SUMS holds one line per file.
constexpr size_t record_cap = 1 << 20;

enum lab_group { LAB_TITLE, LAB_CORRUPTED, LAB_NO_MESSAGE, LAB_NO_LOG };

struct lab_dump {
	std::string dir;  // as shown: PATH/name
	std::string when; // its end (else its start), UTC
	std::string host, label, serial, kernel;
	lab_group group = LAB_TITLE;
	std::string kind, title;
};

struct lab_bad {
	std::string dir, reason;
};

struct lab_row {
	lab_group group;
	std::string title, kind;
	std::vector<const lab_dump *> dumps; // newest first
	std::set<std::string> kernels, hosts;
	size_t devices = 0;
	const lab_dump *representative = nullptr;
	bool is_new = false;
};

struct lab_scan {
	std::vector<lab_dump> dumps;
	std::vector<lab_bad> bad;
	bool failed = false; // a path could not be read
};

// "YYYY-MM-DDTHH:MM:SSZ": such times sort as text.
bool lab_is_utc(const std::string &t)
{
	static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
	if (t.size() != sizeof(shape) - 1)
		return false;
	for (size_t i = 0; i < t.size(); i++) {
		bool digit = isdigit(static_cast<unsigned char>(t[i])) != 0;
		if (shape[i] == 'd' ? !digit : t[i] != shape[i])
			return false;
	}
	return true;
}

// ---- reading one dump directory

enum lab_type { LAB_STR, LAB_INT, LAB_BOOL, LAB_OBJ, LAB_ARR };

struct lab_field_rule {
	const char *name;
	lab_type type;
	bool nullable;
};

const lab_field_rule top_rules[] = {
	{"duruvev_version", LAB_STR, false}, {"host", LAB_STR, false},	  {"device", LAB_OBJ, false},
	{"start", LAB_STR, false},	     {"end", LAB_STR, false},	  {"result", LAB_STR, false},
	{"bytes", LAB_INT, false},	     {"regions", LAB_INT, false}, {"kernel_release", LAB_STR, true},
	{"crash", LAB_OBJ, true},	     {"last_kernel_line", LAB_STR, true},
};
const lab_field_rule device_rules[] = {
	{"label", LAB_STR, false}, {"serial", LAB_STR, false}, {"bus_path", LAB_STR, false}};
const lab_field_rule crash_rules[] = {
	{"title", LAB_STR, false}, {"alt", LAB_ARR, false},	  {"kind", LAB_STR, false},
	{"frame", LAB_STR, false}, {"corrupted", LAB_BOOL, false}, {"rules", LAB_INT, false},
};
const char *const crash_kinds[] = {"crash", "warning", "hang", "lockup", "panic", "subsystem", "watchdog", "none"};

bool lab_has_type(const json &v, lab_type t)
{
	switch (t) {
	case LAB_STR:
		return v.is_string();
	case LAB_INT:
		// A count: no fraction, no sign.
		return v.is_number_unsigned();
	case LAB_BOOL:
		return v.is_boolean();
	case LAB_OBJ:
		return v.is_object();
	case LAB_ARR:
		return v.is_array();
	}
	return false;
}

// True when obj has each field of rules with its type; else false with *why
// naming the first that has not.
template <size_t N>
bool lab_check(const json &obj, const char *prefix, const lab_field_rule (&rules)[N], std::string *why)
{
	static const char *const type_names[] = {"a string", "a count", "true or false", "an object", "an array"};
	for (const lab_field_rule &r : rules) {
		auto it = obj.find(r.name);
		if (it != obj.end() && ((r.nullable && it->is_null()) || lab_has_type(*it, r.type)))
			continue;
		*why = std::string(record_name) + ": \"" + prefix + r.name + "\" " +
		       (it == obj.end() ? std::string("is missing")
					: std::string("is not ") + type_names[r.type] + (r.nullable ? " or null" : ""));
		return false;
	}
	return true;
}

// The crash part of a record into *d; false with *why when it is not as
// records are written.
bool lab_read_crash(const json &crash, lab_dump *d, std::string *why)
{
	if (!lab_check(crash, "crash.", crash_rules, why))
		return false;
	for (const json &a : crash["alt"])
		if (!a.is_string()) {
			*why = std::string(record_name) + ": \"crash.alt\" holds a value that is not a string";
			return false;
		}
	const std::string &kind = crash["kind"].get_ref<const std::string &>();
	if (std::find(std::begin(crash_kinds), std::end(crash_kinds), kind) == std::end(crash_kinds)) {
		*why = std::string(record_name) + ": \"crash.kind\" is \"" + kind + "\", not a kind of crash";
		return false;
	}
	d->kind = kind;
	if (kind == "none") {
		d->group = LAB_NO_MESSAGE;
	} else {
		d->group = crash["corrupted"].get<bool>() ? LAB_CORRUPTED : LAB_TITLE;
		d->title = crash["title"].get<std::string>();
	}
	return true;
}

bool lab_read_record(const json &j, lab_dump *d, std::string *why)
{
	if (!j.is_object()) {
		*why = std::string(record_name) + " holds no JSON object";
		return false;
	}
	// Another format may have other fields: its number is checked first.
	auto format = j.find("format");
	if (format == j.end() || !format->is_number_unsigned() || *format != 1) {
		*why = std::string(record_name) + " is of format " + (format == j.end() ? "(none)" : format->dump()) +
		       "; this duruvev reads format 1";
		return false;
	}
	if (!lab_check(j, "", top_rules, why) || !lab_check(j["device"], "device.", device_rules, why))
		return false;
	const std::string &result = j["result"].get_ref<const std::string &>();
	if (result != "complete") {
		*why = std::string(record_name) + ": the dump's result is \"" + result + "\", not complete";
		return false;
	}
	const std::string &end = j["end"].get_ref<const std::string &>();
	const std::string &start = j["start"].get_ref<const std::string &>();
	d->when = lab_is_utc(end) ? end : start;
	if (!lab_is_utc(d->when)) {
		*why = std::string(record_name) + ": neither \"end\" nor \"start\" is a time as 2026-12-11T06:22:41Z";
		return false;
	}
	d->host = j["host"].get<std::string>();
	d->label = j["device"]["label"].get<std::string>();
	d->serial = j["device"]["serial"].get<std::string>();
	if (j["kernel_release"].is_string())
		d->kernel = j["kernel_release"].get<std::string>();
	if (j["crash"].is_null()) {
		d->group = LAB_NO_LOG;
		return true;
	}
	return lab_read_crash(j["crash"], d, why);
}

// True when sums lists the record with record's digest; else false with
// *why.
bool lab_digest_listed(const std::string &sums, const std::string &record, std::string *why)
{
	const size_t hex = 2 * sha256_digest::size;
	const std::string name = record_name;
	uint8_t listed[sha256_digest::size];
	bool found = false;
	for (size_t at = 0; at < sums.size() && !found;) {
		size_t nl = sums.find('\n', at);
		std::string line = sums.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
		at = nl == std::string::npos ? sums.size() : nl + 1;
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		// sha256sum's "<digest>  <name>", or " *<name>" for binary mode.
		if (line.size() != hex + 2 + name.size() || line[hex] != ' ' || (line[hex + 1] != ' ' && line[hex + 1] != '*') ||
		    line.compare(hex + 2, std::string::npos, name) != 0)
			continue;
		found = true;
		for (size_t i = 0; i < sha256_digest::size && found; i++) {
			int hi = text_hex_digit(line[2 * i]), lo = text_hex_digit(line[2 * i + 1]);
			found = hi >= 0 && lo >= 0;
			listed[i] = static_cast<uint8_t>(hi << 4 | lo);
		}
	}
	uint8_t have[sha256_digest::size];
	if (!found) {
		*why = name + " is not listed in " SUMS_NAME;
	} else if (sha256_of(record.data(), record.size(), have) != 0) {
		*why = "cannot compute the SHA-256 of " + name;
	} else if (memcmp(have, listed, sizeof(have)) != 0) {
		*why = name + " does not match its SHA-256 in " SUMS_NAME;
	} else {
		return true;
	}
	return false;
}

std::string lab_read_error(const char *name, size_t cap)
{
	if (errno == EFBIG)
		return std::string(name) + " is larger than " + std::to_string(cap >> 20) + " MiB";
	if (errno == EINVAL)
		return std::string(name) + " is no regular file";
	return std::string("cannot read ") + name + ": " + os_strerror(errno);
}

// Reads the record of the dump in dir into *d; false with *why when the dump
// is not counted.
bool lab_read_dump(os_dir_handle dir, lab_dump *d, std::string *why)
{
	std::string sums, record;
	if (os_dir_read_small(dir, SUMS_NAME, record_cap, &sums) != 0) {
		*why = errno == ENOENT ? "no " SUMS_NAME ": being written, cut short, or waiting to be continued"
				       : lab_read_error(SUMS_NAME, record_cap);
		return false;
	}
	if (os_dir_read_small(dir, record_name, record_cap, &record) != 0) {
		*why = errno == ENOENT ? std::string("no ") + record_name : lab_read_error(record_name, record_cap);
		return false;
	}
	if (!lab_digest_listed(sums, record, why))
		return false;
	try {
		json j = json::parse(record, nullptr, false);
		if (j.is_discarded()) {
			*why = std::string(record_name) + " is not JSON, or is cut short";
			return false;
		}
		return lab_read_record(j, d, why);
	} catch (const json::exception &e) {
		*why = std::string(record_name) + ": " + e.what();
		return false;
	}
}

// Where a dump is, as shown: its name alone under ".".
std::string lab_shown(const std::string &path, const std::string &name)
{
	return path == "." ? name : os_path_join(path.c_str(), name.c_str());
}

void lab_add(lab_scan *scan, os_dir_handle dir, const std::string &shown)
{
	lab_dump d;
	std::string why;
	d.dir = shown;
	if (lab_read_dump(dir, &d, &why))
		scan->dumps.push_back(std::move(d));
	else
		scan->bad.push_back({shown, why});
}

// Every dump directory in path, or path itself when it is one.
void lab_scan_path(const std::string &path, lab_scan *scan)
{
	os_dir_handle h;
	std::vector<std::string> names;
	if (os_dir_open(path.c_str(), &h) != 0) {
		ux_err("--list: cannot open \"%s\": %s\n", path.c_str(), os_strerror(errno));
		scan->failed = true;
		return;
	}
	os_dir root(h);
	if (os_path_exists(os_path_join(path.c_str(), SUMS_NAME).c_str()) ||
	    os_path_exists(os_path_join(path.c_str(), record_name).c_str())) {
		lab_add(scan, h, path);
		return;
	}
	if (os_dir_subdirs(h, &names) != 0) {
		ux_err("--list: cannot read \"%s\": %s\n", path.c_str(), os_strerror(errno));
		scan->failed = true;
		return;
	}
	std::sort(names.begin(), names.end());
	for (const std::string &name : names) {
		if (name[0] == '.')
			continue;
		std::string shown = lab_shown(path, name);
		os_dir_handle dh;
		if (os_dir_open_in(h, name.c_str(), &dh) != 0) {
			scan->bad.push_back({shown, std::string("cannot open: ") + os_strerror(errno)});
			continue;
		}
		os_dir dump(dh);
		lab_add(scan, dh, shown);
	}
}

// ---- grouping

std::vector<lab_row> lab_rows(const std::vector<lab_dump> &dumps, const std::string &since)
{
	std::map<std::tuple<int, std::string>, std::vector<const lab_dump *>> groups;
	for (const lab_dump &d : dumps)
		groups[{d.group, d.title}].push_back(&d);
	std::vector<lab_row> rows;
	for (auto &[key, all] : groups) {
		lab_row r;
		r.group = static_cast<lab_group>(std::get<0>(key));
		r.title = std::get<1>(key);
		bool before = false;
		for (const lab_dump *d : all)
			if (!since.empty() && d->when <= since)
				before = true;
			else
				r.dumps.push_back(d);
		if (r.dumps.empty())
			continue;
		r.is_new = !since.empty() && !before;
		std::sort(r.dumps.begin(), r.dumps.end(), [](const lab_dump *a, const lab_dump *b) {
			return a->when != b->when ? a->when > b->when : a->dir < b->dir;
		});
		std::set<std::string> devices;
		for (const lab_dump *d : r.dumps) {
			// A device is its serial number; one without is its label.
			devices.insert(d->serial.empty() ? "label:" + d->label : "serial:" + d->serial);
			if (!d->kernel.empty())
				r.kernels.insert(d->kernel);
			r.hosts.insert(d->host);
		}
		r.devices = devices.size();
		r.kind = r.dumps.front()->kind;
		// The newest that is not corrupted; in a row of corrupted titles,
		// the newest.
		r.representative = r.dumps.front();
		rows.push_back(std::move(r));
	}
	std::stable_sort(rows.begin(), rows.end(), [](const lab_row &a, const lab_row &b) {
		return a.dumps.front()->when > b.dumps.front()->when;
	});
	return rows;
}

} // namespace

bool lab_since_parse(const char *text, std::string *out)
{
	std::string t = text;
	if (t.size() == 10)
		t += "T00:00:00Z";
	else if (t.size() == 16 || (t.size() == 17 && t.back() == 'Z'))
		t = t.substr(0, 16) + ":00Z";
	else if (t.size() == 19)
		t += "Z";
	if (t.size() > 10 && t[10] == ' ')
		t[10] = 'T';
	if (!lab_is_utc(t))
		return false;
	auto num = [&](size_t at) { return (t[at] - '0') * 10 + (t[at + 1] - '0'); };
	if (num(5) < 1 || num(5) > 12 || num(8) < 1 || num(8) > 31 || num(11) > 23 || num(14) > 59 || num(17) > 60)
		return false;
	*out = t;
	return true;
}

namespace {

// ---- output

// One line of text from a record or a directory name, control bytes shown.
std::string lab_text(const std::string &s)
{
	return text_visible(s);
}

std::string lab_row_title(const lab_row &r)
{
	switch (r.group) {
	case LAB_NO_MESSAGE:
		return "(no crash message)";
	case LAB_NO_LOG:
		return "(no kernel log)";
	default:
		return lab_text(r.title);
	}
}

// What the row is beyond its title: "crash", "warning, corrupted title",
// "no kernel log", each with ", new" when it is.
std::string lab_row_kind(const lab_row &r)
{
	std::string k = r.group == LAB_NO_LOG ? "no kernel log" : r.group == LAB_NO_MESSAGE ? "no crash message" : r.kind;
	if (r.group == LAB_CORRUPTED)
		k += ", corrupted title";
	return r.is_new ? k + ", new" : k;
}

std::string lab_join(const std::set<std::string> &items)
{
	std::string s;
	for (const std::string &i : items)
		s += (s.empty() ? "" : ", ") + (i.empty() ? std::string("?") : lab_text(i));
	return s.empty() ? "-" : s;
}

const char *lab_group_name(lab_group g)
{
	static const char *const names[] = {"title", "corrupted", "no_crash_message", "no_kernel_log"};
	return names[g];
}

std::string lab_table(const std::vector<lab_row> &rows, const lab_scan &scan, const std::string &since)
{
	std::string t;
	char line[160];
	if (rows.empty())
		t += since.empty() ? "no complete dumps\n" : "no complete dumps after " + since + "\n";
	else
		t += "LAST SEEN             FIRST SEEN            DUMPS  DEVICES  TITLE\n";
	for (const lab_row &r : rows) {
		snprintf(line, sizeof(line), "%-20s  %-20s  %5zu  %7zu  ", r.dumps.front()->when.c_str(),
			 r.dumps.back()->when.c_str(), r.dumps.size(), r.devices);
		t += line + lab_row_title(r) + "\n";
		t += "    " + lab_row_kind(r) + "; kernels " + lab_join(r.kernels) + "; hosts " + lab_join(r.hosts) + "\n";
		t += "    open " + lab_text(r.representative->dir) + "\n";
	}
	if (!scan.bad.empty())
		t += "\nnot counted:\n";
	for (const lab_bad &b : scan.bad)
		t += "  " + lab_text(b.dir) + ": " + lab_text(b.reason) + "\n";
	return t;
}

std::string lab_json(const std::vector<lab_row> &rows, const lab_scan &scan, const std::string &since)
{
	using ojson = nlohmann::ordered_json;
	ojson doc = {{"format", 1}, {"since", since.empty() ? ojson(nullptr) : ojson(since)}};
	ojson &out_rows = doc["rows"] = ojson::array();
	for (const lab_row &r : rows) {
		ojson dumps = ojson::array();
		for (const lab_dump *d : r.dumps)
			dumps.push_back({{"dir", d->dir},
					 {"time", d->when},
					 {"device", d->label},
					 {"serial", d->serial},
					 {"host", d->host},
					 {"kernel_release", d->kernel.empty() ? ojson(nullptr) : ojson(d->kernel)}});
		out_rows.push_back({{"group", lab_group_name(r.group)},
				    {"title", r.title},
				    {"kind", r.kind},
				    {"new", r.is_new},
				    {"count", r.dumps.size()},
				    {"first_seen", r.dumps.back()->when},
				    {"last_seen", r.dumps.front()->when},
				    {"devices", r.devices},
				    {"kernel_releases", r.kernels},
				    {"hosts", r.hosts},
				    {"representative", r.representative->dir},
				    {"dumps", std::move(dumps)}});
	}
	ojson &bad = doc["not_counted"] = ojson::array();
	for (const lab_bad &b : scan.bad)
		bad.push_back({{"dir", b.dir}, {"reason", b.reason}});
	// Directory names need not be UTF-8; JSON must be.
	return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// The length of the UTF-8 sequence at s[i], or 0 when none starts there.
size_t lab_utf8_len(const std::string &s, size_t i)
{
	unsigned char c = static_cast<unsigned char>(s[i]);
	if (c < 0x80)
		return 1;
	size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
	if (n == 0 || i + n > s.size())
		return 0;
	for (size_t k = 1; k < n; k++)
		if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80)
			return 0;
	// No overlong form, no surrogate, nothing past U+10FFFF.
	unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
	if ((c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 >= 0xa0) || (c == 0xf0 && c1 < 0x90) || (c == 0xf4 && c1 >= 0x90))
		return 0;
	return n;
}

// Text for the page: control bytes and bytes that are no UTF-8 shown as
// \xNN, and the five characters HTML gives meaning to as references.
std::string lab_html(const std::string &text)
{
	static const char specials[] = "&<>\"'";
	static const char *const refs[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"};
	std::string s = lab_text(text), out;
	for (size_t i = 0; i < s.size();) {
		size_t n = lab_utf8_len(s, i);
		const char *special = n == 1 && s[i] ? strchr(specials, s[i]) : nullptr;
		if (n == 0) {
			char hex[8];
			snprintf(hex, sizeof(hex), "\\x%02x", static_cast<unsigned char>(s[i]));
			out += hex;
			n = 1;
		} else if (special) {
			out += refs[special - specials];
		} else {
			out.append(s, i, n);
		}
		i += n;
	}
	return out;
}

// One row of the page's table, and under it its dumps.
std::string lab_page_row(const lab_row &r)
{
	std::string p = "<tr><td>" + r.dumps.front()->when + "</td><td>" + r.dumps.back()->when + "</td><td>" +
			std::to_string(r.dumps.size()) + "</td><td>" + std::to_string(r.devices) + "</td><td>" +
			lab_html(lab_join(r.kernels)) + "</td><td>" + lab_html(lab_join(r.hosts)) + "</td><td>";
	p += (r.group == LAB_TITLE || r.group == LAB_CORRUPTED ? lab_html(r.title) : "<i>" + lab_row_title(r) + "</i>") +
	     "<br><small>" + lab_html(lab_row_kind(r)) + "</small></td></tr>\n";
	p += "<tr><td colspan=\"7\"><details><summary>open first: " + lab_html(r.representative->dir) +
	     "</summary>\n<table>\n<tr><th>Device</th><th>Host</th><th>Time</th><th>Directory</th></tr>\n";
	for (const lab_dump *d : r.dumps)
		p += "<tr><td>" + lab_html(d->label) + "</td><td>" + lab_html(d->host) + "</td><td>" + d->when +
		     "</td><td>" + lab_html(d->dir) + "</td></tr>\n";
	return p + "</table></details></td></tr>\n";
}

// One page with no script and no resource of its own: every text from a
// device or a directory name goes through lab_html.
std::string lab_page(const std::vector<lab_row> &rows, const lab_scan &scan, const std::string &since)
{
	std::string p = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
			"<title>Crashes</title>\n<style>\n"
			"body { font-family: sans-serif; }\n"
			"table { border-collapse: collapse; }\n"
			"td, th { text-align: left; vertical-align: top; padding: 2px 8px; }\n"
			"details table td { font-family: monospace; }\n"
			"</style></head><body>\n<h1>Crashes";
	p += since.empty() ? "" : " after " + since;
	p += "</h1>\n<table>\n<tr><th>Last seen</th><th>First seen</th><th>Dumps</th><th>Devices</th>"
	     "<th>Kernels</th><th>Hosts</th><th>Title</th></tr>\n";
	for (const lab_row &r : rows)
		p += lab_page_row(r);
	p += "</table>\n";
	if (!scan.bad.empty()) {
		p += "<h2>Not counted</h2>\n<ul>\n";
		for (const lab_bad &b : scan.bad)
			p += "<li>" + lab_html(b.dir) + ": " + lab_html(b.reason) + "</li>\n";
		p += "</ul>\n";
	}
	return p + "</body></html>\n";
}

int lab_write_page(const std::string &file, const std::string &page)
{
	os_file f(fopen(file.c_str(), "wb"));
	if (!f || fwrite(page.data(), 1, page.size(), f.get()) != page.size() || fclose(f.release()) != 0) {
		ux_err("--html: cannot write \"%s\": %s\n", file.c_str(), os_strerror(errno));
		return 1;
	}
	return 0;
}

} // namespace

int lab_list_run(const lab_list_options &o, FILE *out)
{
	lab_scan scan;
	for (const std::string &path : o.paths)
		lab_scan_path(path, &scan);
	std::vector<lab_row> rows = lab_rows(scan.dumps, o.since);
	std::string text = o.json ? lab_json(rows, scan, o.since) : lab_table(rows, scan, o.since);
	fputs(text.c_str(), out);
	fflush(out);
	int rc = scan.failed ? 1 : 0;
	if (!o.html.empty() && lab_write_page(o.html, lab_page(rows, scan, o.since)) != 0)
		rc = 1;
	return rc;
}
