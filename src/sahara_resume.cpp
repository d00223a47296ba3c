// The record of a dump cut short: which regions are already whole in the
// dump directory, for the table they belong to. A device that was not reset
// still holds its crash; when it comes back with the same table, only the
// rest is read.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "oscompat.h"
#include "sahara_engine.h"

namespace {

constexpr char resume_name[] = ".duruvev-resume";
constexpr char resume_tmp_name[] = ".duruvev-resume.new";
constexpr char resume_magic[] = "duruvev-resume 1";

std::string hex_of(const uint8_t *p, size_t n)
{
	std::string s;
	char h[3];
	for (size_t i = 0; i < n; i++) {
		snprintf(h, sizeof(h), "%02x", p[i]);
		s += h;
	}
	return s;
}

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
	uint8_t d[SHA256_DIGEST_LENGTH];
	sahara_hasher h;
	h.add(raw, len);
	h.finish(d);
	return hex_of(d, sizeof(d));
}

int sahara_resume_load(const char *dir, const std::string &table_digest, const std::vector<sahara_debug_region64> &table,
		       std::vector<sahara_saved_region> &saved, bool *other_table)
{
	*other_table = false;
	std::ifstream in(os_path_join(dir, resume_name), std::ios::binary);
	if (!in)
		return -1;
	std::string line;
	if (!std::getline(in, line) || line != resume_magic)
		return -1;
	if (!std::getline(in, line) || line != "table " + table_digest) {
		*other_table = true;
		return -1;
	}
	std::vector<sahara_saved_region> kept(saved.size());
	while (std::getline(in, line)) {
		std::istringstream f(line);
		std::string word, hex, file;
		size_t index;
		unsigned long long length;
		if (!(f >> word >> index >> length >> hex) || word != "whole" || index >= table.size() ||
		    length != table[index].length)
			return -1;
		std::getline(f >> std::ws, file);
		// Kept only under the name this run gives the region, and only
		// while the file still holds every byte of it.
		std::error_code ec;
		uint64_t size = std::filesystem::file_size(os_path_join(dir, file.c_str()), ec);
		if (file != saved[index].file || ec || size != length)
			continue;
		if (!bytes_of(hex, kept[index].sha256, sizeof(kept[index].sha256)))
			return -1;
		kept[index].saved = true;
	}
	for (size_t i = 0; i < saved.size(); i++)
		if (kept[i].saved) {
			saved[i].saved = true;
			memcpy(saved[i].sha256, kept[i].sha256, sizeof(saved[i].sha256));
		}
	return 0;
}

int sahara_resume_save(const char *dir, const std::string &table_digest,
		       const std::vector<sahara_debug_region64> &table, const std::vector<sahara_saved_region> &saved)
{
	std::string text = std::string(resume_magic) + "\ntable " + table_digest + "\n";
	for (size_t i = 0; i < saved.size(); i++)
		if (saved[i].saved)
			text += "whole " + std::to_string(i) + " " + std::to_string(table[i].length) + " " +
				hex_of(saved[i].sha256, sizeof(saved[i].sha256)) + " " + saved[i].file + "\n";
	// New file, synced, then renamed over the old one: a power cut leaves
	// the old record or the new one, never half of one.
	if (sahara_write_file(dir, resume_tmp_name, reinterpret_cast<const uint8_t *>(text.data()), text.size()) != 0)
		return -1;
	std::error_code ec;
	std::filesystem::rename(os_path_join(dir, resume_tmp_name), os_path_join(dir, resume_name), ec);
	if (ec) {
		ux_err("failed to write the record of whole regions in \"%s\": %s\n", dir, ec.message().c_str());
		return -1;
	}
	if (sahara_durable_writes() && os_sync_dir(dir) != 0) {
		warn("failed to sync the output directory \"%s\"", dir);
		return -1;
	}
	return 0;
}

int sahara_resume_remove(const char *dir)
{
	std::error_code ec;
	std::filesystem::remove(os_path_join(dir, resume_tmp_name), ec);
	bool gone = std::filesystem::remove(os_path_join(dir, resume_name), ec);
	if (ec) {
		ux_err("failed to remove the record of whole regions in \"%s\": %s\n", dir, ec.message().c_str());
		return -1;
	}
	if (gone && sahara_durable_writes() && os_sync_dir(dir) != 0) {
		warn("failed to sync the output directory \"%s\"", dir);
		return -1;
	}
	return 0;
}
