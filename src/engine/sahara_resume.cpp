// The record of a dump cut short: which regions are already whole in the
// dump directory, for the table they belong to. A device that was not reset
// still holds its crash; when it comes back with the same table, only the
// rest is read.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>

#include "digest.h"
#include "oscompat.h"
#include "sahara_engine.h"
#include "ux.h"

namespace {

constexpr char resume_name[] = ".duruvev-resume";
constexpr char resume_tmp_name[] = ".duruvev-resume.new";
constexpr char resume_magic[] = "duruvev-resume 1";
// A record is a line per region; more than this is not one.
constexpr size_t resume_max = 64u << 20;
constexpr size_t resume_hash_block = 1u << 20;

bool bytes_of(const std::string &hex, uint8_t *out, size_t n)
{
	if (hex.size() != 2 * n)
		return false;
	for (size_t i = 0; i < n; i++) {
		unsigned v;
		if (sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1)
			return false;
		out[i] = static_cast<uint8_t>(v);
	}
	return true;
}

} // namespace

std::string sahara_table_digest(const uint8_t *raw, size_t len)
{
	// A digest the library fails to make matches no record: nothing is kept.
	uint8_t d[sha256_digest::size];
	return sha256_of(raw, len, d) == 0 ? sahara_hex(d, sizeof(d)) : std::string();
}

// The record's text, read through the directory's handle when it has one.
static bool sahara_resume_read(const sahara_dump_dir &dir, std::string &text)
{
	os_fd in(sahara_open_in(dir, resume_name));
	return in.fd >= 0 && os_read_small(in.fd, resume_max - 1, text) == 0;
}

// The size of the file name in dir, looked at without following a link.
// 0, or -1 when there is no such file.
static int sahara_resume_size_of(const sahara_dump_dir &dir, const char *name, uint64_t *size)
{
	int fd = sahara_open_in(dir, name);
	if (fd < 0)
		return -1;
	int r = os_fd_size(fd, size);
	::close(fd);
	return r;
}

// Opens the region file name of an earlier run in dir; one that is there but
// is no regular file of the directory (a link, a FIFO, ...) is not kept, and
// one line says so. A descriptor, or -1.
static int sahara_resume_open_kept(const sahara_dump_dir &dir, const std::string &name)
{
	int fd = sahara_open_in(dir, name.c_str());
	if (fd < 0 && errno != ENOENT)
		ux_err("\"%s\" is not a regular file of \"%s\"; it is read again from the device\n",
		       sahara_printable(name.c_str()).c_str(), sahara_printable(dir.path).c_str());
	return fd;
}

// True when the file name in dir holds length bytes whose SHA-256 is the one
// recorded: a file changed or cut since it was recorded is read again. With
// digests switched off there are none to check, and the size is all.
static bool sahara_resume_file_whole(const sahara_dump_dir &dir, const std::string &name, uint64_t length,
				     const uint8_t *sha256)
{
	int fd = sahara_resume_open_kept(dir, name);
	if (fd < 0)
		return false;
	os_fd in(fd);
	uint64_t size = 0;
	if (os_fd_size(in.fd, &size) != 0 || size != length)
		return false;
	if (!sahara_config().hashing)
		return true;
	std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[resume_hash_block]);
	if (!buf)
		return false;
	sha256_digest d;
	uint64_t seen = 0;
	for (;;) {
		int64_t n = os_read(in.fd, buf.get(), resume_hash_block);
		if (n < 0)
			return false;
		if (n == 0)
			break;
		d.update(buf.get(), static_cast<size_t>(n));
		seen += static_cast<uint64_t>(n);
	}
	uint8_t got[sha256_digest::size];
	return seen == length && d.finish(got) == 0 && memcmp(got, sha256, sizeof(got)) == 0;
}

namespace {

// A record as written: its table, its device, and a line per whole region.
struct resume_record {
	std::string table;
	sahara_resume_device device;
	struct whole {
		size_t index = 0;
		uint64_t length = 0;
		uint8_t sha256[sha256_digest::size] = {};
		std::string file;
	};
	std::vector<whole> regions;
};

enum class resume_parsed { ok, none, untrusted };

// Reads the word and the rest of a line "word rest".
void split_line(const std::string &line, std::string &word, std::string &rest)
{
	size_t sp = line.find(' ');
	word = line.substr(0, sp);
	rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
}

bool parse_whole(const std::string &rest, resume_record::whole &w)
{
	std::istringstream f(rest);
	std::string hex;
	unsigned long long length;
	if (!(f >> w.index >> length >> hex))
		return false;
	w.length = length;
	std::getline(f >> std::ws, w.file);
	return bytes_of(hex, w.sha256, sizeof(w.sha256)) && !w.file.empty();
}

// Parses a record. Each line is taken once: a line said twice, or two that
// disagree (one region or one file twice), make the whole record untrusted,
// as nothing tells which of them is true.
resume_parsed parse_record(const std::string &text, resume_record &rec)
{
	std::istringstream in(text);
	std::string line, word, rest;
	if (!std::getline(in, line) || line != resume_magic)
		return resume_parsed::none;
	std::set<std::string> said, files;
	std::set<size_t> indices;
	while (std::getline(in, line)) {
		split_line(line, word, rest);
		if (word == "whole") {
			resume_record::whole w;
			if (!parse_whole(rest, w) || !indices.insert(w.index).second ||
			    !files.insert(sahara_fold(w.file)).second)
				return resume_parsed::untrusted;
			rec.regions.push_back(w);
			continue;
		}
		std::string *field = nullptr;
		if (word == "table")
			field = &rec.table;
		else if (word == "device")
			field = &rec.device.key;
		else if (word == "serial")
			field = &rec.device.serial;
		if (!field || rest.empty() || !said.insert(word).second)
			return resume_parsed::untrusted;
		*field = rest;
	}
	return rec.table.empty() ? resume_parsed::untrusted : resume_parsed::ok;
}

} // namespace

int sahara_resume_load(const sahara_dump_dir &dir, const std::string &table_digest, const std::string &serial,
		       const std::vector<sahara_debug_region64> &table, std::vector<sahara_saved_region> &saved,
		       std::vector<bool> &changed, bool *other_table)
{
	*other_table = false;
	changed.assign(table.size(), false);
	std::string text;
	resume_record rec;
	if (table_digest.empty() || !sahara_resume_read(dir, text))
		return -1;
	resume_parsed parsed = parse_record(text, rec);
	if (parsed == resume_parsed::ok && rec.table == table_digest)
		for (const resume_record::whole &w : rec.regions)
			if (w.index >= table.size() || w.length != table[w.index].length)
				parsed = resume_parsed::untrusted;
	if (parsed == resume_parsed::untrusted)
		ux_err("the record of whole regions in \"%s\" repeats or contradicts itself; nothing in it is "
		       "kept\n",
		       sahara_printable(dir.path).c_str());
	if (parsed != resume_parsed::ok)
		return -1;
	// Another serial number is another device, whatever its table.
	if (rec.table != table_digest ||
	    (!serial.empty() && !rec.device.serial.empty() && serial != rec.device.serial)) {
		*other_table = true;
		return -1;
	}
	// Each file is hashed once, and kept only under the name this run
	// gives the region and while it still holds every byte of it.
	for (const resume_record::whole &w : rec.regions) {
		sahara_saved_region &s = saved[w.index];
		if (w.file != s.file)
			continue;
		if (!sahara_resume_file_whole(dir, w.file, w.length, w.sha256)) {
			changed[w.index] = true;
			continue;
		}
		s.saved = true;
		memcpy(s.sha256, w.sha256, sizeof(s.sha256));
	}
	return 0;
}

int sahara_resume_owner(os_dir_handle dir, std::string *key, std::string *serial)
{
	std::string text;
	resume_record rec;
	if (!sahara_resume_read(sahara_dump_dir("", dir), text) || parse_record(text, rec) != resume_parsed::ok)
		return -1;
	*key = rec.device.key;
	*serial = rec.device.serial;
	return 0;
}

// Removes name from dir; one that is not there is fine. 0, or -1 with errno.
static int sahara_resume_drop(const sahara_dump_dir &dir, const char *name)
{
	return sahara_remove_in(dir, name) != 0 && errno != ENOENT ? -1 : 0;
}

int sahara_resume_save(const sahara_dump_dir &dir, const std::string &table_digest, const sahara_resume_device &device,
		       const std::vector<sahara_debug_region64> &table, const std::vector<sahara_saved_region> &saved)
{
	std::string text = std::string(resume_magic) + "\ntable " + table_digest + "\n";
	// Lines need one line each: a key or serial that could break one is
	// left out, which at worst costs the continuing.
	auto one_line = [](const std::string &v) { return !v.empty() && v.find_first_of("\r\n") == std::string::npos; };
	if (one_line(device.key))
		text += "device " + device.key + "\n";
	if (one_line(device.serial))
		text += "serial " + device.serial + "\n";
	for (size_t i = 0; i < saved.size(); i++)
		if (saved[i].saved)
			text += "whole " + std::to_string(i) + " " + std::to_string(table[i].length) + " " +
				sahara_hex(saved[i].sha256, sizeof(saved[i].sha256)) + " " + saved[i].file + "\n";
	// Replaced whole: a power cut leaves the old record or the new one.
	return sahara_write_file(dir, resume_name, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

int sahara_resume_remove(const sahara_dump_dir &dir)
{
	if (sahara_resume_drop(dir, resume_tmp_name) != 0 || sahara_resume_drop(dir, resume_name) != 0) {
		warn("failed to remove the record of whole regions in \"%s\"", dir.path);
		return -1;
	}
	return sahara_settle_dir(dir);
}

const char sahara_resume_part_name[] = ".duruvev-part";

int sahara_resume_settle(const sahara_dump_dir &dir, const char *file, bool whole)
{
	uint64_t part = 0, earlier = 0;
	bool keep = whole || (sahara_resume_size_of(dir, sahara_resume_part_name, &part) == 0 &&
			      (sahara_resume_size_of(dir, file, &earlier) != 0 || part > earlier));
	if (keep) {
		if (sahara_rename_in(dir, sahara_resume_part_name, file) == 0)
			return 0;
		warn("failed to put the region read again in place of the partial \"%s\"",
		     sahara_printable(file).c_str());
		return -1;
	}
	// The earlier file holds at least as much: the shorter read goes.
	if (sahara_resume_drop(dir, sahara_resume_part_name) != 0) {
		warn("failed to remove \"%s\"", os_path_join(dir.path, sahara_resume_part_name).c_str());
		return -1;
	}
	return 0;
}
