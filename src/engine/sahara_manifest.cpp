// The files that let a dump explain and check itself, wherever it travels:
// SHA256SUMS (for sha256sum -c), load.cmm (a Trace32 script that places each
// region at its address), dump_info.txt (one region per line) and dump.json
// (the dump's record for machines: device, times, what crashed). All are
// made from one record of what this run saved, only for a complete dump, and
// go through the same write-sync-close path as the region files.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dmesg.h"
#include "oscompat.h"
#include "sahara_engine.h"
#include "util.h"
#include "ux.h"


// What a description line needs of one saved file.
struct sahara_saved_file {
	std::string file;
	const sahara_debug_region64 *region; // null: no region (the core, a description)
	size_t index;
	uint8_t sha256[sha256_digest::size];
};

uint64_t sahara_descriptions_size(size_t n_regions)
{
	// Three files, each a line of at most ~100 bytes per region, and the
	// record, a few KiB.
	return 3 * (8192 + 128 * static_cast<uint64_t>(n_regions + 1)) + 16384;
}

static std::string sahara_load_cmm(const std::vector<sahara_saved_file> &files)
{
	std::string text;
	for (const sahara_saved_file &f : files)
		if (f.region)
			text += dump_load_line_text({f.file, f.region->addr});
	return text;
}

static std::string sahara_dump_info(const std::vector<sahara_saved_file> &files)
{
	std::string text;
	for (const sahara_saved_file &f : files)
		if (f.region)
			text += dump_info_line_text(
				{f.index, f.region->addr, f.region->length, f.region->region, f.file});
	return text;
}

// The GNU coreutils format; saved names hold no backslash or newline, so no
// line needs its escaped form.
static std::string sahara_sums(const std::vector<sahara_saved_file> &files)
{
	std::string text;
	for (const sahara_saved_file &f : files)
		text += sahara_hex(f.sha256, sizeof(f.sha256)) + "  " + f.file + "\n";
	return text;
}

void sahara_remove_descriptions(const sahara_dump_dir &dir)
{
	static const char *const names[] = {MINIDUMP_NAME, SUMS_NAME, LOAD_CMM_NAME, DUMP_INFO_NAME, DMESG_NAME,
					    DUMP_JSON_NAME};
	std::string removed;
	for (const char *name : names) {
		if (sahara_remove_in(dir, name) == 0)
			removed += std::string(removed.empty() ? "" : ", ") + name;
		else if (errno != ENOENT && errno != ENAMETOOLONG)
			ux_err("cannot remove \"%s\" of an earlier dump: %s\n", os_path_join(dir.path, name).c_str(),
			       os_strerror(errno));
	}
	if (!removed.empty())
		ux_info("removed %s of an earlier dump in \"%s\": they describe region files this run replaces\n",
			removed.c_str(), dir.path);
}

// The files a dump's descriptions list: each saved region, then the core
// and the kernel log. *own_load_cmm is set to the device's own script among
// the regions, or null.
static std::vector<sahara_saved_file> sahara_files_to_describe(const sahara_debug_region64 *table, size_t n_regions,
								const sahara_saved_region *saved,
								const sahara_saved_region &core,
								const sahara_saved_region &kernel_log,
								const char **own_load_cmm)
{
	std::vector<sahara_saved_file> files;
	*own_load_cmm = nullptr;
	for (size_t i = 0; i < n_regions; i++) {
		if (!saved[i].saved)
			continue;
		sahara_saved_file f{saved[i].file, &table[i], i, {}};
		memcpy(f.sha256, saved[i].sha256, sizeof(f.sha256));
		files.push_back(f);
		// Any name that folds to "load.cmm" is the device's own script.
		if (sahara_fold(saved[i].file) == LOAD_CMM_NAME)
			*own_load_cmm = saved[i].file.c_str();
	}
	for (const sahara_saved_region *extra : {&core, &kernel_log}) {
		if (!extra->saved)
			continue;
		sahara_saved_file f{extra->file, nullptr, 0, {}};
		memcpy(f.sha256, extra->sha256, sizeof(f.sha256));
		files.push_back(f);
	}
	return files;
}

struct sahara_description {
	const char *name;
	std::string text;
};

// The descriptions of files, in the order they are written: load.cmm
// unless the device brought its own, dump_info.txt, and the record when
// there is one.
static std::vector<sahara_description> sahara_descriptions(const std::vector<sahara_saved_file> &files,
							   const char *own_load_cmm, const std::string &record)
{
	std::vector<sahara_description> descriptions;
	if (own_load_cmm)
		ux_info("%s: the device's own script is kept; no load.cmm of ours is written\n", own_load_cmm);
	else
		descriptions.push_back({LOAD_CMM_NAME, sahara_load_cmm(files)});
	descriptions.push_back({DUMP_INFO_NAME, sahara_dump_info(files)});
	if (!record.empty())
		descriptions.push_back({DUMP_JSON_NAME, record});
	return descriptions;
}

// Writes each description, its name added to written. Each is listed in
// files too, so that sha256sum -c checks every file of the dump. 0, or -1
// after the first that fails.
static int sahara_write_descriptions(const sahara_dump_dir &dir, const std::vector<sahara_description> &descriptions,
				     std::vector<sahara_saved_file> &files, std::vector<const char *> &written)
{
	for (const sahara_description &d : descriptions) {
		const uint8_t *bytes = reinterpret_cast<const uint8_t *>(d.text.data());
		if (sahara_write_file(dir, d.name, bytes, d.text.size()) != 0)
			return -1;
		written.push_back(d.name);
		sahara_saved_file f{d.name, nullptr, 0, {}};
		if (sha256_of(bytes, d.text.size(), f.sha256) != 0) {
			ux_err("cannot compute the SHA-256 of \"%s\"\n", d.name);
			return -1;
		}
		files.push_back(f);
	}
	return 0;
}

// Writes SHA256SUMS over files, its name added to written. 0 or -1.
static int sahara_write_sums(const sahara_dump_dir &dir, const std::vector<sahara_saved_file> &files,
			     std::vector<const char *> &written)
{
	std::string sums = sahara_sums(files);
	if (sahara_write_file(dir, SUMS_NAME, reinterpret_cast<const uint8_t *>(sums.data()), sums.size()) != 0)
		return -1;
	written.push_back(SUMS_NAME);
	return 0;
}

// A failed run leaves no description, but the device's own script: the next
// run makes them.
static void sahara_remove_failed_descriptions(const sahara_dump_dir &dir, const char *own_load_cmm)
{
	for (const char *name : {LOAD_CMM_NAME, DUMP_INFO_NAME, DUMP_JSON_NAME, SUMS_NAME, DMESG_NAME}) {
		bool devices_own = own_load_cmm && strcmp(name, LOAD_CMM_NAME) == 0;
		if (!devices_own)
			(void)sahara_remove_in(dir, name);
	}
}

int sahara_describe_dump(const sahara_dump_dir &dir, const sahara_debug_region64 *table, size_t n_regions,
			 const sahara_saved_region *saved, const sahara_saved_region &core,
			 const sahara_saved_region &kernel_log, const std::string &record)
{
	const char *own_load_cmm = nullptr;
	std::vector<sahara_saved_file> files =
		sahara_files_to_describe(table, n_regions, saved, core, kernel_log, &own_load_cmm);
	std::vector<sahara_description> descriptions = sahara_descriptions(files, own_load_cmm, record);
	std::vector<const char *> written;
	if (sahara_write_descriptions(dir, descriptions, files, written) != 0 ||
	    (sahara_config().hashing && sahara_write_sums(dir, files, written) != 0) || sahara_settle_dir(dir) != 0) {
		sahara_remove_failed_descriptions(dir, own_load_cmm);
		return -1;
	}
	std::string list;
	for (const char *name : written)
		list += std::string(list.empty() ? "" : ", ") + name;
	ux_info("dump described in %s\n", list.c_str());
	return 0;
}

sahara_saved_region sahara_write_dmesg(const sahara_dump_dir &dir, const sahara_debug_region64 *table,
				       size_t n_regions, const sahara_saved_region *saved, sahara_kernel_facts *facts)
{
	sahara_saved_region out;
	std::vector<dmesg_region> regions;
	for (size_t i = 0; i < n_regions; i++)
		if (saved[i].saved)
			regions.push_back({table[i].region, saved[i].file, table[i].addr, table[i].length});
	// Collection holds its directory open; a dump run by hand names it,
	// and it is opened once here.
	os_dir opened;
	os_dir_handle h = sahara_held(dir, opened);
	kmsg_log log;
	std::string why;
	if (h == os_dir_none) {
		ux_info("kernel log not read, no " DMESG_NAME ": cannot open the dump directory: %s\n", os_strerror(errno));
		return out;
	}
	if (dmesg_read_dump(h, regions, log, why) != 0) {
		ux_info("kernel log not read, no " DMESG_NAME ": %s\n", sahara_printable(why.c_str()).c_str());
		return out;
	}
	std::string text = kmsg_dmesg_text(log);
	const uint8_t *bytes = reinterpret_cast<const uint8_t *>(text.data());
	if (sahara_write_file(dir, DMESG_NAME, bytes, text.size()) != 0) {
		(void)sahara_remove_in(dir, DMESG_NAME);
		ux_info("kernel log not written, no " DMESG_NAME "; the dump goes on without it\n");
		return out;
	}
	if (sha256_of(bytes, text.size(), out.sha256) != 0) {
		(void)sahara_remove_in(dir, DMESG_NAME);
		ux_info("kernel log not hashed, no " DMESG_NAME "; the dump goes on without it\n");
		return out;
	}
	out.saved = true;
	out.file = DMESG_NAME;
	// A line for the summary: the console shows no more of it than this.
	facts->last_line = sahara_printable(kmsg_last_line(log).substr(0, 240).c_str());
	facts->release = log.release;
	ux_info("kernel log: %zu records (%s%s%s) written to %s\n", log.records.size(), log.format,
		log.how.empty() ? "" : "; ", log.how.c_str(), DMESG_NAME);
	// Named once the log is safe on disk; bounded in time like its reading.
	facts->crash = crash_title_of_log(log);
	facts->read = true;
	return out;
}

std::string sahara_crash_text(const crash_title &t)
{
	return t.kind == "none" ? "no crash message" : t.title;
}

std::string sahara_dump_json(const sahara_dump_run &run, int64_t end, uint64_t bytes)
{
	// In the order of its schema, for people reading it too.
	using json = nlohmann::ordered_json;
	json j;
	j["format"] = 1;
	j["duruvev_version"] = version_text();
	j["host"] = os_host_name();
	j["device"] = {{"label", run.device.label}, {"serial", run.device.serial}, {"bus_path", run.device.bus_path}};
	j["start"] = os_utc_iso(run.wall_start);
	j["end"] = os_utc_iso(end);
	j["result"] = "complete";
	j["bytes"] = bytes;
	j["regions"] = run.saved;
	j["kernel_release"] = nullptr;
	j["crash"] = nullptr;
	j["last_kernel_line"] = nullptr;
	if (run.kernel.read) {
		const crash_title &t = run.kernel.crash;
		j["kernel_release"] = run.kernel.release;
		j["crash"] = {{"title", t.title}, {"alt", t.alt},		{"kind", t.kind},
			      {"frame", t.frame}, {"corrupted", t.corrupted}, {"rules", t.rules}};
		j["last_kernel_line"] = run.kernel.last_line;
	}
	// Device text that is not UTF-8 is replaced, never a reason to fail.
	try {
		return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
	} catch (const std::exception &e) {
		ux_info("no %s: %s\n", DUMP_JSON_NAME, e.what());
		return "";
	}
}
