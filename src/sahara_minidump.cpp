// Assembly of the ELF core "minidump.elf": the kernel ELF header region, the
// vmcoreinfo region, then the region of every loadable segment, each piece
// exactly as long as the headers say, so that every segment sits at the file
// offset its program header gives.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "le.h"
#include "oscompat.h"
#include "sahara_engine.h"

#define MINIDUMP_COPY_PIECE 65536
#define MINIDUMP_ZERO_PIECE 4096
// The KELF region holds headers only (at most 64 + 65535 * 56 bytes); a
// larger file is not a header and is not read into memory.
#define MINIDUMP_KELF_MAX (16u << 20)

#define ELF_ET_CORE 4
#define ELF_PT_LOAD 1
#define ELF_EI_CLASS 4

struct sahara_file_closer {
	void operator()(FILE *f) const { fclose(f); }
};
using sahara_file = std::unique_ptr<FILE, sahara_file_closer>;

int64_t copy_file_part(FILE *out, const char *path, uint64_t max)
{
	sahara_file in(fopen(path, "rb"));
	if (!in)
		return -1;
	std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[MINIDUMP_COPY_PIECE]);
	if (!buf)
		return -1;

	int64_t total = 0;
	while (static_cast<uint64_t>(total) < max) {
		size_t want = static_cast<size_t>(std::min<uint64_t>(max - static_cast<uint64_t>(total), MINIDUMP_COPY_PIECE));
		size_t n = fread(buf.get(), 1, want, in.get());
		if (n == 0)
			break;
		if (fwrite(buf.get(), 1, n, out) != n)
			return -1;
		total += static_cast<int64_t>(n);
	}
	return total;
}

int64_t copy_file_to(FILE *out, const char *path)
{
	return copy_file_part(out, path, UINT64_MAX / 2);
}

int write_zeroes(FILE *out, uint64_t count)
{
	static const uint8_t zeroes[MINIDUMP_ZERO_PIECE] = {};

	while (count > 0) {
		size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof(zeroes)));
		if (fwrite(zeroes, 1, n, out) != n)
			return -1;
		count -= n;
	}
	return 0;
}

struct sahara_phdr {
	uint32_t p_type;
	uint64_t p_offset;
	uint64_t p_paddr;
	uint64_t p_filesz;
};

// One piece of the core after the header: size bytes taken from a region
// file this run saved, zeros where the file is missing or shorter.
struct sahara_piece {
	const sahara_debug_region64 *region; // null: no region (zeros only)
	const sahara_saved_region *saved;
	uint64_t size;
};

// Reads the saved KELF region file whole. Returns false after its message.
static bool sahara_read_kelf(const char *path, std::vector<uint8_t> &kelf_buf)
{
	sahara_file f(fopen(path, "rb"));
	if (!f) {
		ux_err("minidump: failed to open KELF file %s\n", path);
		return false;
	}
	off_t size = -1;
	if (fseeko(f.get(), 0, SEEK_END) == 0)
		size = ftello(f.get());
	if (size <= 0) {
		ux_err("minidump: failed to get KELF file size\n");
		return false;
	}
	if (static_cast<uint64_t>(size) > MINIDUMP_KELF_MAX) {
		ux_err("minidump: KELF does not look like an ELF core file\n");
		return false;
	}
	if (fseeko(f.get(), 0, SEEK_SET) != 0) {
		ux_err("minidump: failed to read KELF file\n");
		return false;
	}
	try {
		kelf_buf.resize(static_cast<size_t>(size));
	} catch (const std::bad_alloc &) {
		ux_err("minidump: out of memory for the KELF file\n");
		return false;
	}
	if (fread(kelf_buf.data(), 1, kelf_buf.size(), f.get()) != kelf_buf.size()) {
		ux_err("minidump: failed to read KELF file\n");
		return false;
	}
	return true;
}

// Where an ELF class keeps what the core needs: ELF32 and ELF64 headers
// differ only in the widths and offsets of these fields.
struct sahara_elf_class {
	uint8_t ei_class;
	const char *name;
	unsigned word; // bytes of an address or file offset
	uint16_t ehdr_size, phdr_size;
	uint8_t e_phoff, e_phentsize, e_phnum;
	uint8_t p_offset, p_paddr, p_filesz;
};

static const sahara_elf_class sahara_elf_classes[] = {
	{1, "32-bit", 4, 52, 32, 28, 42, 44, 4, 12, 16},
	{2, "64-bit", 8, 64, 56, 32, 54, 56, 8, 24, 32},
};

// Checks the kernel ELF header, of either class, and reads its program
// headers. False after its message.
static bool sahara_kelf_phdrs(const std::vector<uint8_t> &kelf, std::vector<sahara_phdr> &phdrs)
{
	const uint8_t *h = kelf.data();
	uint64_t size = kelf.size();
	const sahara_elf_class *c = nullptr;
	if (size > ELF_EI_CLASS && h[0] == 0x7f && h[1] == 'E' && h[2] == 'L' && h[3] == 'F')
		for (const sahara_elf_class &k : sahara_elf_classes)
			if (k.ei_class == h[ELF_EI_CLASS])
				c = &k;
	if (!c) {
		ux_err("minidump: KELF does not look like an ELF core file\n");
		return false;
	}
	bool whole = size >= c->ehdr_size;
	uint64_t e_phoff = whole ? le_get(h + c->e_phoff, c->word) : 0;
	uint16_t e_phnum = whole ? le16_get(h + c->e_phnum) : 0;
	if (!whole || le16_get(h + 16) != ELF_ET_CORE || le16_get(h + c->e_phentsize) != c->phdr_size ||
	    e_phoff > size || static_cast<uint64_t>(e_phnum) * c->phdr_size > size - e_phoff) {
		ux_err("minidump: KELF does not look like a %s ELF core file\n", c->name);
		return false;
	}

	phdrs.resize(e_phnum);
	for (size_t i = 0; i < e_phnum; i++) {
		const uint8_t *p = h + e_phoff + i * c->phdr_size;
		phdrs[i] = {le32_get(p), le_get(p + c->p_offset, c->word), le_get(p + c->p_paddr, c->word),
			    le_get(p + c->p_filesz, c->word)};
	}
	return true;
}

// Writes the core from its planned pieces; false after its message.
static bool sahara_write_core(FILE *out, const char *dir, const std::vector<uint8_t> &kelf,
			      const std::vector<sahara_piece> &pieces)
{
	if (fwrite(kelf.data(), 1, kelf.size(), out) != kelf.size()) {
		ux_err("minidump: failed to write KELF to output: %s\n", os_strerror(errno));
		return false;
	}
	char path[DEBUG64_PATH_MAX];
	for (const sahara_piece &p : pieces) {
		int64_t copied = 0;
		if (p.saved && p.saved->saved) {
			if (!sahara_join(path, dir, p.saved->file.c_str()))
				copied = -1;
			else
				copied = copy_file_part(out, path, p.size);
			if (copied < 0 || ferror(out)) {
				ux_err("minidump: failed to copy region %s: %s\n",
				       sahara_printable(p.saved->file.c_str()).c_str(), os_strerror(errno));
				return false;
			}
		}
		if (static_cast<uint64_t>(copied) < p.size &&
		    write_zeroes(out, p.size - static_cast<uint64_t>(copied)) < 0) {
			ux_err("minidump: failed to pad region %s: %s\n",
			       p.region ? sahara_printable(p.region->filename).c_str() : "(none)", os_strerror(errno));
			return false;
		}
	}
	return true;
}

int sahara_build_minidump_elf(const char *duruvev_path, const char *filter, const sahara_debug_region64 *table,
			      size_t n_regions, const sahara_saved_region *saved)
{
	size_t kelf_idx = n_regions;
	for (size_t i = 0; i < n_regions; i++) {
		if (strncmp(table[i].region, "md_KELF", 7) == 0) {
			kelf_idx = i;
			break;
		}
	}
	if (kelf_idx == n_regions)
		return 0;
	const sahara_debug_region64 &kelf = table[kelf_idx];
	if (sahara_debug64_filter(kelf.filename, filter))
		return 0;
	// Only this run's files make the core: a file left by an earlier run
	// belongs to another crash.
	if (!saved[kelf_idx].saved) {
		ux_err("minidump: kernel header region %s was not saved; no core written\n",
		       sahara_printable(kelf.filename).c_str());
		return -1;
	}

	char path[DEBUG64_PATH_MAX];
	if (!sahara_join(path, duruvev_path, saved[kelf_idx].file.c_str())) {
		ux_err("minidump: path of %s is too long\n", sahara_printable(kelf.filename).c_str());
		return -1;
	}
	std::vector<uint8_t> kelf_buf;
	if (!sahara_read_kelf(path, kelf_buf))
		return -1;

	uint64_t kelf_size = kelf_buf.size();
	std::vector<sahara_phdr> phdrs;
	if (!sahara_kelf_phdrs(kelf_buf, phdrs))
		return -1;

	// No header may make the core larger than the header and the regions
	// the device says it holds.
	uint64_t bound = kelf_size;
	for (size_t i = 0; i < n_regions; i++)
		if (!sahara_debug64_filter(table[i].filename, filter))
			bound = std::min<uint64_t>(bound + std::min<uint64_t>(table[i].length, UINT64_MAX / 4),
						   UINT64_MAX / 4);

	// A region the filter leaves out is not this run's to fill with zeros:
	// like a filtered header, no core is due then.
	auto excluded = [&](size_t i) {
		if (!sahara_debug64_filter(table[i].filename, filter))
			return false;
		ux_info("minidump: no core written: the filter excludes %s, which the core needs\n",
			sahara_printable(table[i].filename).c_str());
		return true;
	};
	// Reported once the layout is known to hold.
	std::vector<std::string> missing;

	std::vector<sahara_piece> pieces;
	uint64_t pos = kelf_size;
	for (size_t i = 0; i < n_regions; i++) {
		if (i == kelf_idx || strncmp(table[i].region, "md_K", 4) != 0)
			continue;
		bool loaded = std::any_of(phdrs.begin(), phdrs.end(), [&](const sahara_phdr &ph) {
			return ph.p_type == ELF_PT_LOAD && ph.p_paddr == table[i].addr;
		});
		if (loaded)
			continue;
		if (excluded(i))
			return 0;
		if (table[i].length > bound - pos) {
			ux_err("minidump: vmcoreinfo region %s of 0x%llx bytes is larger than the memory the device "
			       "offered\n",
			       sahara_printable(table[i].filename).c_str(), static_cast<unsigned long long>(table[i].length));
			return -1;
		}
		if (!saved[i].saved)
			missing.push_back("minidump: vmcoreinfo region missing, crash may not load correctly");
		pieces.push_back({&table[i], &saved[i], table[i].length});
		pos += table[i].length;
		break;
	}

	for (const sahara_phdr &ph : phdrs) {
		if (ph.p_type != ELF_PT_LOAD)
			continue;
		size_t r = n_regions;
		for (size_t i = 0; i < n_regions && r == n_regions; i++)
			if (table[i].addr == ph.p_paddr)
				r = i;
		if (r != n_regions && excluded(r))
			return 0;
		if (ph.p_filesz > 0 && ph.p_offset != pos) {
			ux_err("minidump: PT_LOAD at paddr 0x%llx has file offset 0x%llx, but its data would be at "
			       "0x%llx; the core cannot follow these headers\n",
			       static_cast<unsigned long long>(ph.p_paddr), static_cast<unsigned long long>(ph.p_offset),
			       static_cast<unsigned long long>(pos));
			return -1;
		}
		if (ph.p_filesz > bound || pos > bound - ph.p_filesz) {
			ux_err("minidump: PT_LOAD at paddr 0x%llx of 0x%llx bytes makes the core larger than the memory "
			       "the device offered; the core cannot follow these headers\n",
			       static_cast<unsigned long long>(ph.p_paddr), static_cast<unsigned long long>(ph.p_filesz));
			return -1;
		}
		pos += ph.p_filesz;
		if (r == n_regions) {
			char line[128];
			snprintf(line, sizeof(line), "minidump: no region found for PT_LOAD at paddr 0x%llx; filled with zeros",
				 static_cast<unsigned long long>(ph.p_paddr));
			missing.push_back(line);
			pieces.push_back({nullptr, nullptr, ph.p_filesz});
			continue;
		}
		if (!saved[r].saved)
			missing.push_back("minidump: region " + sahara_printable(table[r].filename) +
					  " missing, filled with zeros");
		pieces.push_back({&table[r], &saved[r], ph.p_filesz});
	}
	for (const std::string &m : missing)
		ux_err("%s\n", m.c_str());

	char out_path[DEBUG64_PATH_MAX];
	if (!sahara_join(out_path, duruvev_path, "minidump.elf")) {
		ux_err("minidump: path \"%s\" is too long\n", os_path_join(duruvev_path, "minidump.elf").c_str());
		return -1;
	}
	sahara_file out(fopen(out_path, "wb"));
	if (!out) {
		ux_err("minidump: failed to create %s: %s\n", out_path, os_strerror(errno));
		return -1;
	}
	bool ok = sahara_write_core(out.get(), duruvev_path, kelf_buf, pieces);
	// Buffered data has to reach the file, and the file the disk, before
	// success is claimed.
	if (ok && (fflush(out.get()) != 0 || ferror(out.get()))) {
		ux_err("minidump: failed to write %s: %s\n", out_path, os_strerror(errno));
		ok = false;
	}
	if (ok && sahara_durable_writes() && os_sync_fd(fileno(out.get())) != 0) {
		ux_err("minidump: failed to write %s: %s\n", out_path, os_strerror(errno));
		ok = false;
	}
	FILE *f = out.release();
	if (fclose(f) != 0 && ok) {
		ux_err("minidump: failed to write %s: %s\n", out_path, os_strerror(errno));
		ok = false;
	}
	if (!ok) {
		remove(out_path);
		ux_err("minidump: incomplete %s removed\n", out_path);
		return -1;
	}
	if (sahara_durable_writes() && os_sync_dir(duruvev_path) != 0) {
		ux_err("minidump: failed to sync %s: %s\n", duruvev_path, os_strerror(errno));
		return -1;
	}
	ux_info("minidump: ELF written to %s\n", out_path);
	return 0;
}
