// Assembly of the ELF core "minidump.elf": the kernel ELF header region, then
// the vmcoreinfo region and the region of every loadable segment, each at the
// file offset its program header gives and exactly as long as the headers
// say, with zeros in the gaps between them.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "elf.h"
#include "oscompat.h"
#include "sahara_engine.h"
#include "ux.h"

#define MINIDUMP_COPY_PIECE 65536
#define MINIDUMP_ZERO_PIECE 4096
// The KELF region holds headers only (at most 64 + 65535 * 56 bytes); a
// larger file is not a header and is not read into memory.
#define MINIDUMP_KELF_MAX (16u << 20)

static int64_t copy_stream_part(FILE *out, FILE *in, uint64_t max, sha256_digest *digest);

int64_t copy_file_part(FILE *out, const char *path, uint64_t max, sha256_digest *digest)
{
	os_file in(fopen(path, "rb"));
	if (!in)
		return -1;
	return copy_stream_part(out, in.get(), max, digest);
}

static int64_t copy_stream_part(FILE *out, FILE *in, uint64_t max, sha256_digest *digest)
{
	std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[MINIDUMP_COPY_PIECE]);
	if (!buf)
		return -1;

	int64_t total = 0;
	while (static_cast<uint64_t>(total) < max) {
		size_t want = static_cast<size_t>(std::min<uint64_t>(max - static_cast<uint64_t>(total), MINIDUMP_COPY_PIECE));
		size_t n = fread(buf.get(), 1, want, in);
		if (n == 0)
			break;
		if (fwrite(buf.get(), 1, n, out) != n)
			return -1;
		if (digest)
			digest->update(buf.get(), n);
		total += static_cast<int64_t>(n);
	}
	return total;
}

int64_t copy_file_to(FILE *out, const char *path)
{
	return copy_file_part(out, path, UINT64_MAX / 2);
}

int write_zeroes(FILE *out, uint64_t count, sha256_digest *digest)
{
	static const uint8_t zeroes[MINIDUMP_ZERO_PIECE] = {};

	while (count > 0) {
		size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof(zeroes)));
		if (fwrite(zeroes, 1, n, out) != n)
			return -1;
		if (digest)
			digest->update(zeroes, n);
		count -= n;
	}
	return 0;
}

// One piece of the core after the header: size bytes at file offset offset,
// taken from a region file this run saved, zeros where the file is missing
// or shorter.
struct sahara_piece {
	const sahara_debug_region64 *region; // null: no region (zeros only)
	const sahara_saved_region *saved;
	uint64_t offset;
	uint64_t size;
	std::string what; // for messages
};

// Reads the saved KELF region file whole. Returns false after its message.
static bool sahara_read_kelf(const sahara_dump_dir &dir, const char *name, std::vector<uint8_t> &kelf_buf)
{
	os_file f(os_stream(sahara_open_in(dir, name), "rb"));
	if (!f) {
		ux_err("minidump: failed to open KELF file %s\n", os_path_join(dir.path, name).c_str());
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

// Checks the kernel ELF header, of either class, and reads its program
// headers. False after its message.
static bool sahara_kelf_phdrs(const std::vector<uint8_t> &kelf, std::vector<elf_phdr> &phdrs)
{
	elf_header h;
	bool ok = elf_read_header(kelf.data(), kelf.size(), &h);
	if (!h.cls) {
		ux_err("minidump: KELF does not look like an ELF core file\n");
		return false;
	}
	if (!ok || h.e_type != ELF_ET_CORE || h.e_phoff > kelf.size() || h.table_size() > kelf.size() - h.e_phoff) {
		ux_err("minidump: KELF does not look like a %s ELF core file\n", h.cls->name);
		return false;
	}
	phdrs = elf_read_phdrs(h, kelf.data() + h.e_phoff);
	return true;
}

// Writes the core from its planned pieces, hashing them into digest when
// given; false after its message.
static bool sahara_write_core(FILE *out, const sahara_dump_dir &dir, const std::vector<uint8_t> &kelf,
			      const std::vector<sahara_piece> &pieces, sha256_digest *digest)
{
	if (fwrite(kelf.data(), 1, kelf.size(), out) != kelf.size()) {
		ux_err("minidump: failed to write KELF to output: %s\n", os_strerror(errno));
		return false;
	}
	if (digest)
		digest->update(kelf.data(), kelf.size());
	uint64_t pos = kelf.size();
	for (const sahara_piece &p : pieces) {
		if (p.size == 0)
			continue;
		if (p.offset > pos && write_zeroes(out, p.offset - pos, digest) < 0) {
			ux_err("minidump: failed to write the gap before %s: %s\n", p.what.c_str(), os_strerror(errno));
			return false;
		}
		pos = p.offset + p.size;
		int64_t copied = 0;
		if (p.saved && p.saved->saved) {
			os_file in(os_stream(sahara_open_in(dir, p.saved->file.c_str()), "rb"));
			copied = in ? copy_stream_part(out, in.get(), p.size, digest) : -1;
			if (copied < 0 || ferror(out)) {
				ux_err("minidump: failed to copy region %s: %s\n",
				       sahara_printable(p.saved->file.c_str()).c_str(), os_strerror(errno));
				return false;
			}
		}
		if (static_cast<uint64_t>(copied) < p.size &&
		    write_zeroes(out, p.size - static_cast<uint64_t>(copied), digest) < 0) {
			ux_err("minidump: failed to pad region %s: %s\n",
			       p.region ? sahara_printable(p.region->filename).c_str() : "(none)", os_strerror(errno));
			return false;
		}
	}
	return true;
}

static std::string sahara_load_name(const elf_phdr &ph)
{
	char what[64];
	snprintf(what, sizeof(what), "PT_LOAD at paddr 0x%llx", static_cast<unsigned long long>(ph.p_paddr));
	return what;
}

// Where the vmcoreinfo region at addr goes: at the PT_NOTE whose address
// range holds addr; failing that, at the one note that names no address (as
// the note of a plain core does); right after the header without either.
static uint64_t sahara_vmcoreinfo_offset(const std::vector<elf_phdr> &phdrs, uint64_t addr, uint64_t kelf_size)
{
	const elf_phdr *unnamed = nullptr;
	unsigned n_unnamed = 0;
	for (const elf_phdr &ph : phdrs) {
		if (ph.p_type != ELF_PT_NOTE || ph.p_filesz == 0)
			continue;
		// Saturated: an offset that wraps is beyond any bound, not small.
		if (addr >= ph.p_paddr && addr - ph.p_paddr < ph.p_filesz)
			return ph.p_offset > UINT64_MAX - (addr - ph.p_paddr) ? UINT64_MAX
									       : ph.p_offset + (addr - ph.p_paddr);
		if (ph.p_paddr == 0) {
			unnamed = &ph;
			n_unnamed++;
		}
	}
	return n_unnamed == 1 ? unnamed->p_offset : kelf_size;
}

// What the core is planned from: the device's table, what this run saved of
// it, the filter, and the kernel header region with its program headers.
struct sahara_core_input {
	const char *filter;
	const sahara_debug_region64 *table;
	size_t n_regions;
	const sahara_saved_region *saved;
	size_t kelf_idx;
	uint64_t kelf_size;
	std::vector<elf_phdr> phdrs;
	// No header may make the core end beyond it.
	uint64_t bound;
};

// The core's pieces, and what is missing from them: reported once the
// layout is known to hold.
struct sahara_core_plan {
	std::vector<sahara_piece> pieces;
	std::vector<std::string> missing;
};

// A region the filter leaves out is not this run's to fill with zeros: like
// a filtered header, no core is due then. True after its message.
static bool sahara_core_excludes(const sahara_core_input &in, size_t i)
{
	if (!sahara_debug64_filter(in.table[i].filename, in.filter))
		return false;
	ux_info("minidump: no core written: the filter excludes %s, which the core needs\n",
		sahara_printable(in.table[i].filename).c_str());
	return true;
}

// The vmcoreinfo region (a kernel region no PT_LOAD names), where its
// PT_NOTE says. 1, 0 when the filter leaves it out, -1 after its message.
static int sahara_plan_vmcoreinfo(const sahara_core_input &in, sahara_core_plan &plan)
{
	const sahara_debug_region64 *table = in.table;
	for (size_t i = 0; i < in.n_regions; i++) {
		if (i == in.kelf_idx || !dump_is_kernel_region(table[i].region))
			continue;
		bool loaded = std::any_of(in.phdrs.begin(), in.phdrs.end(), [&](const elf_phdr &ph) {
			return ph.p_type == ELF_PT_LOAD && ph.p_paddr == table[i].addr;
		});
		if (loaded)
			continue;
		if (sahara_core_excludes(in, i))
			return 0;
		uint64_t offset = sahara_vmcoreinfo_offset(in.phdrs, table[i].addr, in.kelf_size);
		if (table[i].length > in.bound || offset > in.bound - table[i].length) {
			ux_err("minidump: vmcoreinfo region %s of 0x%llx bytes at file offset 0x%llx makes the core larger "
			       "than the memory the device offered\n",
			       sahara_printable(table[i].filename).c_str(), static_cast<unsigned long long>(table[i].length),
			       static_cast<unsigned long long>(offset));
			return -1;
		}
		if (!in.saved[i].saved)
			plan.missing.push_back("minidump: vmcoreinfo region missing, crash may not load correctly");
		plan.pieces.push_back({&table[i], &in.saved[i], offset, table[i].length,
				       "vmcoreinfo region " + sahara_printable(table[i].filename)});
		break;
	}
	return 1;
}

// Each PT_LOAD's region at its p_offset, zeros for one without a region,
// except a segment the header itself holds. 1, 0 when the filter leaves out
// a region, -1 after its message.
static int sahara_plan_loads(const sahara_core_input &in, sahara_core_plan &plan)
{
	const sahara_debug_region64 *table = in.table;
	size_t n_regions = in.n_regions;
	for (const elf_phdr &ph : in.phdrs) {
		if (ph.p_type != ELF_PT_LOAD)
			continue;
		// The header itself carries a segment whose bytes lie wholly inside
		// it (a kernel driver keeps its linux_banner copy there).
		if (ph.p_filesz > 0 && ph.p_offset <= in.kelf_size && ph.p_filesz <= in.kelf_size - ph.p_offset)
			continue;
		size_t r = n_regions;
		for (size_t i = 0; i < n_regions && r == n_regions; i++)
			if (table[i].addr == ph.p_paddr)
				r = i;
		if (r != n_regions && sahara_core_excludes(in, r))
			return 0;
		// An empty segment takes no place, wherever its offset points.
		if (ph.p_filesz > 0 && (ph.p_filesz > in.bound || ph.p_offset > in.bound - ph.p_filesz)) {
			ux_err("minidump: %s of 0x%llx bytes at file offset 0x%llx makes the core larger than the "
			       "memory the device offered; the core cannot follow these headers\n",
			       sahara_load_name(ph).c_str(), static_cast<unsigned long long>(ph.p_filesz),
			       static_cast<unsigned long long>(ph.p_offset));
			return -1;
		}
		if (r == n_regions) {
			char line[128];
			snprintf(line, sizeof(line), "minidump: no region found for PT_LOAD at paddr 0x%llx; filled with zeros",
				 static_cast<unsigned long long>(ph.p_paddr));
			plan.missing.push_back(line);
			plan.pieces.push_back({nullptr, nullptr, ph.p_offset, ph.p_filesz, sahara_load_name(ph)});
			continue;
		}
		if (!in.saved[r].saved)
			plan.missing.push_back("minidump: region " + sahara_printable(table[r].filename) +
					       " missing, filled with zeros");
		plan.pieces.push_back({&table[r], &in.saved[r], ph.p_offset, ph.p_filesz, sahara_load_name(ph)});
	}
	return 1;
}

// Sorts the pieces by offset and refuses a piece partly inside the header
// or over another piece. False after its message.
static bool sahara_check_layout(uint64_t kelf_size, std::vector<sahara_piece> &pieces)
{
	std::stable_sort(pieces.begin(), pieces.end(),
			 [](const sahara_piece &a, const sahara_piece &b) { return a.offset < b.offset; });
	uint64_t end = kelf_size;
	const sahara_piece *last = nullptr;
	for (const sahara_piece &p : pieces) {
		if (p.size == 0)
			continue;
		if (p.offset < kelf_size) {
			ux_err("minidump: %s has file offset 0x%llx, inside the kernel header of 0x%llx bytes; the core "
			       "cannot follow these headers\n",
			       p.what.c_str(), static_cast<unsigned long long>(p.offset),
			       static_cast<unsigned long long>(kelf_size));
			return false;
		}
		if (p.offset < end) {
			ux_err("minidump: %s at file offset 0x%llx overlaps %s, which ends at 0x%llx; the core cannot "
			       "follow these headers\n",
			       p.what.c_str(), static_cast<unsigned long long>(p.offset), last->what.c_str(),
			       static_cast<unsigned long long>(end));
			return false;
		}
		end = p.offset + p.size;
		last = &p;
	}
	return true;
}

// Places the pieces of the core by the program headers: the vmcoreinfo
// region where its PT_NOTE says, each PT_LOAD's region at its p_offset,
// except a segment the header itself holds. Refuses only what cannot be
// honoured: a piece partly inside the header, beyond
// the bound, or over another piece. Returns 1 with pieces sorted by offset,
// 0 when no core is due (the filter leaves out a region it needs), -1 after
// its message.
static int sahara_plan_core(const sahara_core_input &in, sahara_core_plan &plan)
{
	int planned = sahara_plan_vmcoreinfo(in, plan);
	if (planned > 0)
		planned = sahara_plan_loads(in, plan);
	if (planned > 0 && !sahara_check_layout(in.kelf_size, plan.pieces))
		return -1;
	return planned;
}

// Finds the kernel header region into in.kelf_idx. 1 when a core is due, 0
// when none is (no header, or the filter leaves it out), -1 after its message
// when the header was not saved.
static int sahara_core_due(sahara_core_input &in)
{
	in.kelf_idx = in.n_regions;
	for (size_t i = 0; i < in.n_regions; i++) {
		if (dump_is_kernel_header(in.table[i].region)) {
			in.kelf_idx = i;
			break;
		}
	}
	if (in.kelf_idx == in.n_regions)
		return 0;
	const sahara_debug_region64 &kelf = in.table[in.kelf_idx];
	if (sahara_debug64_filter(kelf.filename, in.filter))
		return 0;
	// Only this run's files make the core: a file left by an earlier run
	// belongs to another crash.
	if (!in.saved[in.kelf_idx].saved) {
		ux_err("minidump: kernel header region %s was not saved; no core written\n",
		       sahara_printable(kelf.filename).c_str());
		return -1;
	}
	return 1;
}

// The header and the regions the device says it holds, as far as the filter
// admits them: what no core may exceed.
static uint64_t sahara_core_bound(const sahara_core_input &in)
{
	uint64_t bound = in.kelf_size;
	for (size_t i = 0; i < in.n_regions; i++)
		if (!sahara_debug64_filter(in.table[i].filename, in.filter))
			bound = std::min<uint64_t>(bound + std::min<uint64_t>(in.table[i].length, UINT64_MAX / 4),
						   UINT64_MAX / 4);
	return bound;
}

// Buffered data has to reach the file, and the file the disk, before
// success is claimed: flushed, synced when writes are durable, closed; an
// incomplete core is removed, and the directory synced when durable. ok
// says whether writing went well so far. False after its message.
// The core is a stream written in place, not a small file put in place
// under a temporary name, so it does not go through os_dir_replace_file.
static bool sahara_close_core(os_file &out, bool ok, const sahara_dump_dir &dir, const char *out_path)
{
	if (ok && (fflush(out.get()) != 0 || ferror(out.get()))) {
		ux_err("minidump: failed to write %s: %s\n", out_path, os_strerror(errno));
		ok = false;
	}
	if (ok && sahara_config().durable_writes && os_sync_fd(fileno(out.get())) != 0) {
		ux_err("minidump: failed to write %s: %s\n", out_path, os_strerror(errno));
		ok = false;
	}
	FILE *f = out.release();
	if (fclose(f) != 0 && ok) {
		ux_err("minidump: failed to write %s: %s\n", out_path, os_strerror(errno));
		ok = false;
	}
	if (!ok) {
		(void)sahara_remove_in(dir, MINIDUMP_NAME);
		ux_err("minidump: incomplete %s removed\n", out_path);
		return false;
	}
	if (sahara_config().durable_writes && sahara_sync_dir(dir) != 0) {
		ux_err("minidump: failed to sync %s: %s\n", dir.path, os_strerror(errno));
		return false;
	}
	return true;
}

// Creates the core at out_path in dir and writes it whole, hashing it into
// digest when given. False after its message.
static bool sahara_save_core(const sahara_dump_dir &dir, const char *out_path, const std::vector<uint8_t> &kelf,
			     const std::vector<sahara_piece> &pieces, sha256_digest *digest)
{
	int fd = sahara_create_in(dir, MINIDUMP_NAME);
	if (fd < 0 && errno == ENAMETOOLONG) {
		ux_err("minidump: path \"%s\" is too long\n", out_path);
		return false;
	}
	os_file out(os_stream(fd, "wb"));
	if (!out) {
		ux_err("minidump: failed to create %s: %s\n", out_path, os_strerror(errno));
		return false;
	}
	bool ok = sahara_write_core(out.get(), dir, kelf, pieces, digest);
	return sahara_close_core(out, ok, dir, out_path);
}

int sahara_build_minidump_elf(const sahara_dump_dir &dir, const char *filter, const sahara_debug_region64 *table,
			      size_t n_regions, const sahara_saved_region *saved, sahara_saved_region *core,
			      const std::function<bool(uint64_t size)> &admit)
{
	sahara_core_input in{filter, table, n_regions, saved, n_regions, 0, {}, 0};
	int due = sahara_core_due(in);
	if (due <= 0)
		return due;

	std::vector<uint8_t> kelf_buf;
	if (!sahara_read_kelf(dir, saved[in.kelf_idx].file.c_str(), kelf_buf))
		return -1;
	in.kelf_size = kelf_buf.size();
	if (!sahara_kelf_phdrs(kelf_buf, in.phdrs))
		return -1;
	in.bound = sahara_core_bound(in);

	sahara_core_plan plan;
	int planned = sahara_plan_core(in, plan);
	if (planned <= 0)
		return planned;
	for (const std::string &m : plan.missing)
		ux_err("%s\n", m.c_str());
	// Pieces are sorted and do not overlap: the last one ends the core.
	uint64_t core_size = in.kelf_size;
	for (const sahara_piece &p : plan.pieces)
		core_size = std::max(core_size, p.offset + p.size);
	if (admit && !admit(core_size))
		return -1;

	std::string out_name = os_path_join(dir.path, MINIDUMP_NAME);
	const char *out_path = out_name.c_str();
	sha256_digest sha;
	if (!sahara_save_core(dir, out_path, kelf_buf, plan.pieces, sahara_config().hashing ? &sha : nullptr))
		return -1;
	if (core && sahara_config().hashing && sha.finish(core->sha256) != 0) {
		// Without its digest the core could not be vouched for.
		ux_err("minidump: cannot compute the SHA-256 of %s\n", out_path);
		return -1;
	}
	ux_info("minidump: ELF written to %s\n", out_path);
	if (core) {
		core->saved = true;
		core->file = MINIDUMP_NAME;
	}
	return 0;
}
