// The kernel log of a dump on disk; see dmesg.h.
#include "dmesg.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "crash_title.h"
#include "elf.h"
#include "oscompat.h"
#include "ux.h"
#include "vorn.h"

namespace {

// Notes and vmcoreinfo text are small; more is not a kernel's.
#define DMESG_NOTE_MAX (1u << 20)

bool read_at(FILE *f, uint64_t off, uint8_t *buf, size_t len)
{
	if (os_fseek_set(f, off) != 0)
		return false;
	return fread(buf, 1, len, f) == len;
}

// A stream on a file of the open dump directory, never through a link; null
// when it cannot be opened.
os_file open_in(os_dir_handle dir, const char *name)
{
	return os_stream(os_dir_open_read(dir, name), "rb");
}

// Reads files of the open dump directory, keeping the last one open: the
// log's reads come in runs from one file.
class dump_files {
public:
	explicit dump_files(os_dir_handle dir) : dir_(dir) {}
	bool read(const std::string &file, uint64_t off, uint8_t *buf, size_t len)
	{
		if (!f_ || file != name_) {
			f_ = open_in(dir_, file.c_str());
			name_ = file;
			// Reads are either large or, scanning all RAM for
			// vmcoreinfo, a few bytes a page: a buffer would only
			// copy each page whole.
			if (f_)
				setvbuf(f_.get(), nullptr, _IONBF, 0);
		}
		return f_ && read_at(f_.get(), off, buf, len);
	}

private:
	os_dir_handle dir_;
	std::string name_;
	os_file f_;
};

// Reads len bytes at physical address addr from whichever region file holds
// them all.
bool read_phys(dump_files &files, const std::vector<dmesg_region> &regions, uint64_t addr, uint8_t *buf, size_t len)
{
	for (const dmesg_region &r : regions)
		if (addr >= r.addr && addr - r.addr <= r.length && len <= r.length - (addr - r.addr))
			return files.read(r.file, addr - r.addr, buf, len);
	return false;
}

// What an ELF file of the dump adds: its word width, the linear offset of
// its loadable segments, and vmcoreinfo from its notes. The core's segments
// are memory too and its notes are in it; the kernel header region (the
// core's plan, in a dump that has no core) says where its notes lie in
// memory.
// The ELF header and program headers of a file of the dump; false when it
// is no ELF file.
bool read_elf(dump_files &files, const std::string &file, elf_header &h, std::vector<elf_phdr> &phdrs)
{
	uint8_t eh[ELF_HEADER_MAX] = {};
	if (!files.read(file, 0, eh, 52))
		return false;
	if (!elf_read_header(eh, 52, &h)) {
		if (!h.cls || h.cls->ehdr_size <= 52 || !files.read(file, 0, eh, h.cls->ehdr_size) ||
		    !elf_read_header(eh, h.cls->ehdr_size, &h))
			return false;
	}
	std::vector<uint8_t> table(static_cast<size_t>(h.table_size()));
	if (!files.read(file, h.e_phoff, table.data(), table.size()))
		return false;
	phdrs = elf_read_phdrs(h, table.data());
	return true;
}

void add_elf(dump_files &files, const std::string &file, bool core, const std::vector<dmesg_region> &regions,
	     kmsg_source &src)
{
	elf_header h;
	std::vector<elf_phdr> phdrs;
	if (!read_elf(files, file, h, phdrs))
		return;
	unsigned w = h.cls->word;
	src.word = w;
	bool linear_ok = true;
	for (const elf_phdr &ph : phdrs) {
		if (ph.p_type == ELF_PT_LOAD && ph.p_filesz > 0) {
			if (core)
				src.regions.push_back({file, ph.p_paddr, ph.p_filesz, ph.p_offset});
			uint64_t lin = (ph.p_vaddr - ph.p_paddr) & (w == 8 ? UINT64_MAX : 0xffffffffu);
			if (ph.p_vaddr == 0 || ph.p_vaddr == ph.p_paddr || (src.has_linear && src.linear != lin))
				linear_ok = false;
			src.has_linear = true;
			src.linear = lin;
		} else if (ph.p_type == ELF_PT_NOTE && src.vmcoreinfo.empty() && ph.p_filesz > 0 &&
			   ph.p_filesz <= DMESG_NOTE_MAX) {
			std::vector<uint8_t> note(static_cast<size_t>(ph.p_filesz));
			if (core ? files.read(file, ph.p_offset, note.data(), note.size())
				 : read_phys(files, regions, ph.p_paddr, note.data(), note.size()))
				src.vmcoreinfo = kmsg_vmcoreinfo_text(note.data(), note.size());
		}
	}
	src.has_linear = src.has_linear && linear_ok;
}

// A dump without a core (taken before cores were made, or whose core is
// lost) still has the kernel header region the core is made from.
void add_kernel_header(dump_files &files, const std::vector<dmesg_region> &regions, kmsg_source &src)
{
	for (const dmesg_region &r : regions)
		if (dump_is_kernel_header(r.name.c_str())) {
			add_elf(files, r.file, false, regions, src);
			return;
		}
}

// A region of vmcoreinfo: the note or the text a kernel exports. One named
// so first; failing that, a small region whose bytes hold it (a dump taken
// before region names said so), reading no more than DMESG_SCAN_MAX in all.
#define DMESG_VMCOREINFO_MAX (64u << 10)
#define DMESG_SCAN_MAX (16u << 20)
void add_vmcoreinfo_region(dump_files &files, const std::vector<dmesg_region> &regions, kmsg_source &src)
{
	uint64_t scanned = 0;
	for (bool by_name : {true, false})
		for (const dmesg_region &r : regions) {
			if (!src.vmcoreinfo.empty() || scanned >= DMESG_SCAN_MAX)
				return;
			bool named = r.name.find("VMCOREINFO") != std::string::npos;
			if (r.length == 0 || named != by_name || (!named && r.length > DMESG_VMCOREINFO_MAX))
				continue;
			std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(r.length, DMESG_VMCOREINFO_MAX)));
			scanned += bytes.size();
			if (!files.read(r.file, 0, bytes.data(), bytes.size()))
				continue;
			std::string text = kmsg_vmcoreinfo_text(bytes.data(), bytes.size());
			// Other bytes may look like a KEY=value line; a kernel's
			// vmcoreinfo starts with its release.
			if (named || text.rfind("OSRELEASE=", 0) == 0)
				src.vmcoreinfo = text;
		}
}

// A plain name of a file in the directory itself.
bool plain_name(const char *file)
{
	return !strpbrk(file, "/\\") && strcmp(file, ".") != 0 && strcmp(file, "..") != 0;
}

// The regions a description file of dir lists, one per line that entry()
// takes; at most 65536.
template <typename F> std::vector<dmesg_region> regions_listed(os_dir_handle dir, const char *name, F entry)
{
	std::vector<dmesg_region> out;
	os_file f = open_in(dir, name);
	if (!f)
		return out;
	char line[512];
	dmesg_region r;
	while (fgets(line, sizeof(line), f.get()) && out.size() < 65536)
		if (entry(line, r) && plain_name(r.file.c_str()))
			out.push_back(r);
	return out;
}

// The region files load.cmm loads, which every dump has carried: the file
// and its physical address, its length the file's. Names as the files'
// without ".BIN".
std::vector<dmesg_region> load_cmm_regions(os_dir_handle dir)
{
	return regions_listed(dir, LOAD_CMM_NAME, [dir](const char *line, dmesg_region &r) {
		dump_load_line l;
		if (!dump_load_line_parse(line, l) || !plain_name(l.file.c_str()))
			return false;
		os_file region = open_in(dir, l.file.c_str());
		uint64_t size = 0;
		if (!region || os_fd_size(fileno(region.get()), &size) != 0 || size == 0)
			return false;
		std::string name = l.file;
		if (name.size() > 4 && name.compare(name.size() - 4, 4, ".BIN") == 0)
			name.resize(name.size() - 4);
		r = {name, l.file, l.addr, size};
		return true;
	});
}

// OSRELEASE of vmcoreinfo text: device-supplied, so only its printable
// start.
std::string vmcoreinfo_release(const std::string &vmcoreinfo)
{
	size_t at = vmcoreinfo.rfind("OSRELEASE=", 0) == 0 ? 0 : vmcoreinfo.find("\nOSRELEASE=");
	if (at == std::string::npos)
		return "";
	at += at == 0 ? 10 : 11;
	std::string release;
	for (size_t i = at; i < vmcoreinfo.size() && vmcoreinfo[i] != '\n' && release.size() < 64; i++) {
		unsigned char c = static_cast<unsigned char>(vmcoreinfo[i]);
		release += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
	}
	return release;
}

} // namespace

int dmesg_read_dump(os_dir_handle dir, const std::vector<dmesg_region> &regions, kmsg_log &log, std::string &why)
{
	dump_files files(dir);
	kmsg_source src;
	for (const dmesg_region &r : regions)
		src.regions.push_back({r.file, r.addr, r.length, 0});
	src.read = [&files](const kmsg_region &r, uint64_t off, uint8_t *buf, size_t len) {
		return files.read(r.file, off, buf, len);
	};
	add_elf(files, MINIDUMP_NAME, true, regions, src);
	if (src.word == 0)
		add_kernel_header(files, regions, src);
	add_vmcoreinfo_region(files, regions, src);
	// A dump of all RAM has neither: the page the kernel keeps it in is
	// among the saved memory.
	std::string how;
	if (src.vmcoreinfo.empty()) {
		uint64_t at = 0;
		std::string scan;
		if (kmsg_scan_vmcoreinfo(src, src.vmcoreinfo, at, scan) != 0) {
			why = "the dump holds no vmcoreinfo (neither a VMCOREINFO note in " MINIDUMP_NAME
			      " nor a vmcoreinfo region; " +
			      scan + ")";
			return -1;
		}
		char line[80];
		snprintf(line, sizeof(line), "vmcoreinfo from the page at physical 0x%" PRIx64, at);
		how = line;
	}
	if (kmsg_read(src, log, why) != 0)
		return -1;
	if (!how.empty())
		log.how = log.how.empty() ? how : how + ", " + log.how;
	log.release = vmcoreinfo_release(src.vmcoreinfo);
	return 0;
}

std::vector<dmesg_region> dmesg_dump_info(os_dir_handle dir)
{
	return regions_listed(dir, DUMP_INFO_NAME, [](const char *line, dmesg_region &r) {
		dump_info_line l;
		if (!dump_info_line_parse(line, l))
			return false;
		r = {l.name, l.file, l.addr, l.length};
		return true;
	});
}

// The kernel log of the dump in dir, read from its memory. A dump taken
// before dump_info.txt was written has load.cmm's map.
static int read_dir_log(os_dir_handle dir, kmsg_log &log, std::string &why)
{
	std::vector<dmesg_region> regions = dmesg_dump_info(dir);
	if (regions.empty())
		regions = load_cmm_regions(dir);
	return dmesg_read_dump(dir, regions, log, why);
}

int dmesg_print(const char *path, FILE *out)
{
	os_dir_handle h = os_dir_none;
	if (os_dir_open(path, &h) != 0) {
		ux_err("--dmesg: no dump directory \"%s\": %s\n", path, os_strerror(errno));
		return 1;
	}
	os_dir dir(h);
	kmsg_log log;
	std::string why;
	if (read_dir_log(dir.get(), log, why) != 0) {
		ux_err("--dmesg: cannot read the kernel log of \"%s\": %s\n", path, why.c_str());
		return 1;
	}
	std::string text = kmsg_dmesg_text(log);
	if (fwrite(text.data(), 1, text.size(), out) != text.size() || fflush(out) != 0)
		return 1;
	return 0;
}

// Reads at most KMSG_TEXT_MAX bytes of an open file: a log longer than any
// kernel keeps is looked at in its first part only.
static bool read_text(FILE *f, std::string &text)
{
	char buf[65536];
	size_t n;
	while (text.size() < KMSG_TEXT_MAX && (n = fread(buf, 1, sizeof(buf), f)) > 0)
		text.append(buf, std::min<size_t>(n, KMSG_TEXT_MAX - text.size()));
	return !ferror(f);
}

// The title of the dump directory dir (at path, for messages).
static int title_of_dir(const char *path, os_dir_handle dir, crash_title &t)
{
	std::string text, why;
	if (os_file f = open_in(dir, DMESG_NAME)) {
		if (!read_text(f.get(), text)) {
			ux_err("--title: cannot read \"%s\": %s\n", os_path_join(path, DMESG_NAME).c_str(),
			       os_strerror(errno));
			return 2;
		}
		t = crash_title_of_text(text);
		return 0;
	}
	kmsg_log log;
	if (read_dir_log(dir, log, why) != 0) {
		ux_err("--title: \"%s\" has no %s, and its kernel log cannot be read: %s\n", path, DMESG_NAME,
		       why.c_str());
		return 2;
	}
	t = crash_title_of_log(log);
	return 0;
}

// The title of what path names: a log file or a dump directory. 0, or 2
// after its message.
static int title_of_path(const char *path, crash_title &t)
{
	// A log is a regular file: a pipe or a device could keep the reader
	// waiting.
	const char *kind = nullptr;
	int fd = os_open_regular(path, &kind);
	if (fd < 0 && kind && strcmp(kind, "a directory") == 0) {
		os_dir_handle h = os_dir_none;
		if (os_dir_open(path, &h) != 0) {
			ux_err("--title: cannot open \"%s\": %s\n", path, os_strerror(errno));
			return 2;
		}
		os_dir dir(h);
		return title_of_dir(path, dir.get(), t);
	}
	if (fd < 0 && kind) {
		ux_err("--title: \"%s\" is %s, not a log file or a dump directory\n", path, kind);
		return 2;
	}
	os_file file = os_stream(fd, "rb");
	std::string text;
	if (!file || !read_text(file.get(), text)) {
		ux_err("--title: cannot read \"%s\": %s\n", path, os_strerror(errno));
		return 2;
	}
	t = crash_title_of_text(text);
	return 0;
}

int dmesg_title_print(const char *path, FILE *out)
{
	crash_title t;
	if (int r = title_of_path(path, t); r != 0)
		return r;
	if (t.kind == "none") {
		fputs("no crash message\n", out);
		return fflush(out) == 0 ? 1 : 2;
	}
	std::string text = t.title + "\n";
	for (const std::string &a : t.alt)
		text += "alt: " + a + "\n";
	if (t.corrupted)
		text += "corrupted\n";
	if (fwrite(text.data(), 1, text.size(), out) != text.size() || fflush(out) != 0)
		return 2;
	return 0;
}
