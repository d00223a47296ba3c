// Host side of the Sahara protocol: the exchange loop, image serving,
// memory-debug collection with its segment filter, and the assembly of the
// ELF core file "minidump.elf" from the region files.
#include "sahara.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "le.h"
#include "oscompat.h"
#include "vorn.h"

#define SAHARA_HELLO 1
#define SAHARA_HELLO_RESP 2
#define SAHARA_READ_DATA 3
#define SAHARA_END_OF_IMAGE 4
#define SAHARA_DONE 5
#define SAHARA_DONE_RESP 6
#define SAHARA_RESET 7
#define SAHARA_RESET_RESP 8
#define SAHARA_MEM_DEBUG64 0x10
#define SAHARA_MEM_READ64 0x11
#define SAHARA_READ_DATA64 0x12

#define SAHARA_PKT_SIZE 48
#define SAHARA_RX_SIZE 4096
#define SAHARA_TIMEOUT_MS 1000

#define DEBUG64_TABLE_MAX 0x10000
#define DEBUG64_BLOCK 0x80000
#define DEBUG64_READ_TIMEOUT_MS 30000
#define DEBUG64_DRAIN_TIMEOUT_MS 10
#define DEBUG64_PATH_MAX 260
// A run of empty reads this long counts as a dead device, not as data.
#define DEBUG64_EMPTY_READS_MAX 1000

#define MINIDUMP_COPY_PIECE 65536
#define MINIDUMP_ZERO_PIECE 4096
// The KELF region holds headers only (at most 64 + 65535 * 56 bytes); a
// larger file is not a header and is not read into memory.
#define MINIDUMP_KELF_MAX (16u << 20)

// A packet decoded from (or to be encoded into) its little-endian wire form.
struct sahara_pkt {
	uint32_t cmd;
	uint32_t length;
	union {
		struct {
			uint32_t version, compatible, max_len, mode, reserved[6];
		} hello_req;
		struct {
			uint32_t version, compatible, status, mode, reserved[6];
		} hello_resp;
		struct {
			uint32_t image, offset, length;
		} read_req;
		struct {
			uint32_t image, status;
		} eoi;
		struct {
		} done_req;
		struct {
			uint32_t status;
		} done_resp;
		struct {
			uint64_t addr, length;
		} debug64_req;
		struct {
			uint64_t image, offset, length;
		} read64_req;
	};
};

static sahara_progress_observer sahara_observer;

void sahara_set_progress_observer(sahara_progress_observer fn)
{
	sahara_observer = fn;
}

void sahara_progress_scale(uint64_t value, uint64_t max, uint32_t *value32, uint32_t *max32)
{
	if (value > max)
		value = max;
	unsigned shift = 0;
	while ((max >> shift) > UINT32_MAX)
		shift++;
	*value32 = static_cast<uint32_t>(value >> shift);
	*max32 = static_cast<uint32_t>(max >> shift);
}

static void sahara_progress(const char *name, uint64_t value, uint64_t max)
{
	uint32_t v32, m32;

	sahara_progress_scale(value, max, &v32, &m32);
	if (sahara_observer)
		sahara_observer(value, max, v32, m32);
	ux_progress("%s", v32, m32, name);
}

// Decodes the bytes of a received packet; fields beyond n read as zero.
static void sahara_pkt_decode(const uint8_t *buf, size_t n, sahara_pkt *pkt)
{
	uint8_t b[SAHARA_PKT_SIZE] = {};

	memcpy(b, buf, std::min<size_t>(n, sizeof(b)));
	memset(pkt, 0, sizeof(*pkt));
	pkt->cmd = le32_get(b);
	pkt->length = le32_get(b + 4);
	switch (pkt->cmd) {
	case SAHARA_HELLO:
		pkt->hello_req.version = le32_get(b + 8);
		pkt->hello_req.compatible = le32_get(b + 12);
		pkt->hello_req.max_len = le32_get(b + 16);
		pkt->hello_req.mode = le32_get(b + 20);
		for (int i = 0; i < 6; i++)
			pkt->hello_req.reserved[i] = le32_get(b + 24 + 4 * i);
		break;
	case SAHARA_READ_DATA:
		pkt->read_req.image = le32_get(b + 8);
		pkt->read_req.offset = le32_get(b + 12);
		pkt->read_req.length = le32_get(b + 16);
		break;
	case SAHARA_END_OF_IMAGE:
		pkt->eoi.image = le32_get(b + 8);
		pkt->eoi.status = le32_get(b + 12);
		break;
	case SAHARA_DONE_RESP:
		pkt->done_resp.status = le32_get(b + 8);
		break;
	case SAHARA_MEM_DEBUG64:
		pkt->debug64_req.addr = le64_get(b + 8);
		pkt->debug64_req.length = le64_get(b + 16);
		break;
	case SAHARA_READ_DATA64:
		pkt->read64_req.image = le64_get(b + 8);
		pkt->read64_req.offset = le64_get(b + 16);
		pkt->read64_req.length = le64_get(b + 24);
		break;
	default:
		break;
	}
}

static int sahara_send_header(vorn_device *dev, uint32_t cmd)
{
	uint8_t b[8];

	le32_put(b, cmd);
	le32_put(b + 4, 8);
	return vorn_write(dev, b, sizeof(b), SAHARA_TIMEOUT_MS);
}

static void sahara_send_reset(vorn_device *dev)
{
	(void)sahara_send_header(dev, SAHARA_RESET);
}

static void sahara_send_done(vorn_device *dev)
{
	(void)sahara_send_header(dev, SAHARA_DONE);
}

static void sahara_send_hello_resp(vorn_device *dev, uint32_t mode)
{
	uint8_t b[SAHARA_PKT_SIZE] = {};

	le32_put(b, SAHARA_HELLO_RESP);
	le32_put(b + 4, SAHARA_PKT_SIZE);
	le32_put(b + 8, 2);  // version
	le32_put(b + 12, 1); // compatible
	le32_put(b + 16, 0); // status
	le32_put(b + 20, mode);
	(void)vorn_write(dev, b, sizeof(b), SAHARA_TIMEOUT_MS);
}

static int sahara_send_mem_read64(vorn_device *dev, uint64_t addr, uint64_t length)
{
	uint8_t b[24];

	le32_put(b, SAHARA_MEM_READ64);
	le32_put(b + 4, sizeof(b));
	le64_put(b + 8, addr);
	le64_put(b + 16, length);
	return vorn_write(dev, b, sizeof(b), SAHARA_TIMEOUT_MS);
}

static void sahara_hello(vorn_device *dev, const sahara_pkt *pkt)
{
	ux_debug("HELLO version: 0x%x compatible: 0x%x max_len: %d mode: %d\n", pkt->hello_req.version,
		 pkt->hello_req.compatible, static_cast<int>(pkt->hello_req.max_len),
		 static_cast<int>(pkt->hello_req.mode));
	sahara_send_hello_resp(dev, pkt->hello_req.mode);
}

// Serves one image request; 0 to go on, -1 to end the exchange.
static int sahara_serve(vorn_device *dev, const sahara_image *images, uint32_t id, uint64_t offset, uint64_t length)
{
	if (!images || id >= SAHARA_MAX_IMAGES || !images[id].ptr) {
		ux_err("device requested unknown image id %u, ensure that all Sahara images are provided\n", id);
		sahara_send_reset(dev);
		return -1;
	}
	const sahara_image *img = &images[id];
	if (offset > img->len || length > img->len - offset) {
		ux_err("device requested invalid range of image %d\n", static_cast<int>(id));
		return -1;
	}
	if (offset == 0)
		ux_info("Sahara: sending %s (%zu bytes)\n", img->name ? img->name : "(unknown)", img->len);
	sahara_progress(img->name ? img->name : "image", offset + length, img->len);

	int n = vorn_write(dev, static_cast<const uint8_t *>(img->ptr) + offset, length, SAHARA_TIMEOUT_MS);
	if (n < 0 || static_cast<uint64_t>(n) != length) {
		ux_err("failed to write %zu bytes to sahara\n", static_cast<size_t>(length));
		return -1;
	}
	return 0;
}

static int sahara_read(vorn_device *dev, const sahara_pkt *pkt, const sahara_image *images)
{
	ux_debug("READ image: %d offset: 0x%x length: 0x%x\n", static_cast<int>(pkt->read_req.image),
		 pkt->read_req.offset, pkt->read_req.length);
	return sahara_serve(dev, images, pkt->read_req.image, pkt->read_req.offset, pkt->read_req.length);
}

static int sahara_read64(vorn_device *dev, const sahara_pkt *pkt, const sahara_image *images)
{
	ux_debug("READ64 image: %lld offset: 0x%llx length: 0x%llx\n",
		 static_cast<long long>(pkt->read64_req.image),
		 static_cast<unsigned long long>(pkt->read64_req.offset),
		 static_cast<unsigned long long>(pkt->read64_req.length));
	return sahara_serve(dev, images, static_cast<uint32_t>(pkt->read64_req.image), pkt->read64_req.offset,
			    pkt->read64_req.length);
}

static int sahara_eoi(vorn_device *dev, const sahara_pkt *pkt)
{
	ux_debug("END OF IMAGE image: %d status: %d\n", static_cast<int>(pkt->eoi.image),
		 static_cast<int>(pkt->eoi.status));
	if (pkt->eoi.status != 0) {
		ux_err("received non-successful end-of-image result\n");
		return -1;
	}
	sahara_send_done(dev);
	return 0;
}

static int32_t sahara_done(vorn_device *, const sahara_pkt *pkt)
{
	int32_t status = static_cast<int32_t>(pkt->done_resp.status);

	ux_debug("DONE status: %d\n", status);
	return status;
}

static bool sahara_has_done_pending_quirk(const sahara_image *images)
{
	if (!images)
		return false;
	int filled = 0;
	for (int i = 0; i < SAHARA_MAX_IMAGES; i++)
		if (images[i].ptr)
			filled++;
	return filled == 1 && images[13].ptr;
}

static void sahara_debug_list_images(const sahara_image *images)
{
	ux_debug("Sahara images:\n");
	for (int i = 0; i < SAHARA_MAX_IMAGES; i++)
		if (images[i].ptr)
			ux_debug("  %2d: %s\n", i, images[i].name ? images[i].name : "(unknown)");
}

/* ---- memory-debug collection ---- */

static void sahara_copy_name(char *dst, const uint8_t *field)
{
	memcpy(dst, field, 20);
	dst[20] = '\0';
}

void sahara_debug_region64_decode(const uint8_t *e, sahara_debug_region64 *out)
{
	out->type = le64_get(e);
	out->addr = le64_get(e + 8);
	out->length = le64_get(e + 16);
	sahara_copy_name(out->region, e + 24);
	sahara_copy_name(out->filename, e + 44);
}

bool sahara_region_filename_ok(const char *name)
{
	if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
		return false;
	// ':' would name a drive or an alternate data stream on Windows.
	return strpbrk(name, "/\\:") == nullptr;
}

// A device-supplied name, shown with anything unprintable replaced.
static std::string sahara_printable(const char *name)
{
	std::string s(name);
	for (char &c : s)
		if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7f)
			c = '?';
	return s;
}

// Forms "<dir>/<filename>" for a device-named file. Refuses unsafe names and
// paths that do not fit, with one error line (prefix: "" or "minidump: ").
static bool sahara_region_path(char (&path)[DEBUG64_PATH_MAX], const char *dir, const char *filename,
			       const char *prefix)
{
	if (!sahara_region_filename_ok(filename)) {
		ux_err("%srefusing unsafe region file name \"%s\"\n", prefix, sahara_printable(filename).c_str());
		return false;
	}
	std::string joined = os_path_join(dir, filename);
	if (joined.size() >= sizeof(path)) {
		ux_err("%spath \"%s\" is too long\n", prefix, joined.c_str());
		return false;
	}
	memcpy(path, joined.c_str(), joined.size() + 1);
	return true;
}

bool pattern_match(const char *pattern, const char *string)
{
	while (*pattern) {
		if (*pattern == '*') {
			// Consecutive stars match what one does.
			while (pattern[1] == '*')
				pattern++;
			for (;;) {
				if (pattern_match(pattern + 1, string))
					return true;
				if (!*string)
					return false;
				string++;
			}
		}
		if (!*string)
			return false;
		if (*pattern != '?' && *pattern != *string)
			return false;
		pattern++;
		string++;
	}
	return *string == '\0';
}

bool sahara_debug64_filter(const char *filename, const char *filter)
{
	if (!filter)
		return false;

	std::string stem;
	const char *dot = strrchr(filename, '.');
	if (dot && dot != filename && static_cast<size_t>(dot - filename) <= DEBUG64_PATH_MAX - 1)
		stem.assign(filename, static_cast<size_t>(dot - filename));

	const char *p = filter;
	while (*p) {
		while (*p == ',')
			p++;
		if (!*p)
			break;
		const char *end = strchr(p, ',');
		size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
		std::string token(p, len);
		p += len;
		if (pattern_match(token.c_str(), filename) ||
		    (!stem.empty() && pattern_match(token.c_str(), stem.c_str())))
			return false;
	}
	return true;
}

struct sahara_fd {
	int fd = -1;
	explicit sahara_fd(int f) : fd(f) {}
	sahara_fd(const sahara_fd &) = delete;
	sahara_fd &operator=(const sahara_fd &) = delete;
	~sahara_fd()
	{
		if (fd >= 0)
			::close(fd);
	}
};

// Writes all len bytes; false when the file takes no more.
static bool sahara_write_all(int fd, const uint8_t *buf, size_t len)
{
	while (len > 0) {
		ssize_t w = ::write(fd, buf, len);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return false;
		buf += w;
		len -= static_cast<size_t>(w);
	}
	return true;
}

// 0: dumped; -1: failed, the region loop stops; -2: refused before anything
// was asked of the device, the loop goes on.
static int64_t sahara_debug64_one(vorn_device *dev, const sahara_debug_region64 region, const char *duruvev_path)
{
	std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[DEBUG64_BLOCK]);
	if (!buf)
		return -1;

	char path[DEBUG64_PATH_MAX];
	if (!sahara_region_path(path, duruvev_path, region.filename, ""))
		return -2;

	sahara_fd file(os_open_trunc(path));
	if (file.fd < 0) {
		warn("failed to open \"%s\"", region.filename);
		return -1;
	}

	uint64_t offset = 0;
	while (offset < region.length) {
		uint64_t remain = std::min<uint64_t>(region.length - offset, DEBUG64_BLOCK);
		if (sahara_send_mem_read64(dev, region.addr + offset, remain) < 0)
			return -1;

		uint64_t got = 0;
		unsigned empty_reads = 0;
		while (got < remain) {
			int n = vorn_read(dev, buf.get(), DEBUG64_BLOCK, DEBUG64_READ_TIMEOUT_MS);
			if (n == 0 && ++empty_reads < DEBUG64_EMPTY_READS_MAX)
				continue;
			if (n <= 0) {
				errno = n < 0 ? -n : EIO;
				warn("failed to read duruvev chunk");
				return -1;
			}
			empty_reads = 0;
			// Bytes beyond the request are not part of this block;
			// writing them would shift the rest of the file.
			uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(n), remain - got);
			if (take < static_cast<uint64_t>(n))
				ux_err("device sent %llu bytes more than requested for \"%s\"; extra bytes dropped\n",
				       static_cast<unsigned long long>(n - take), region.filename);
			if (!sahara_write_all(file.fd, buf.get(), static_cast<size_t>(take))) {
				warn("failed to write duruvev chunk to \"%s\"", region.filename);
				return -1;
			}
			got += take;
		}
		// Let the device flush a trailing empty transfer; what it
		// returns is not region data.
		(void)vorn_read(dev, buf.get(), DEBUG64_BLOCK, DEBUG64_DRAIN_TIMEOUT_MS);

		uint64_t shown = offset > UINT64_MAX - DEBUG64_BLOCK ? UINT64_MAX : offset + DEBUG64_BLOCK;
		offset += remain;
		sahara_progress(region.filename, shown, region.length);
	}

	if (::close(file.fd) != 0) {
		file.fd = -1;
		warn("failed to write duruvev chunk to \"%s\"", region.filename);
		return -1;
	}
	file.fd = -1;
	return 0;
}

static void sahara_debug64(vorn_device *dev, const sahara_pkt *pkt, const char *duruvev_path,
			   const char *duruvev_filter)
{
	if (pkt->length != 24) {
		ux_err("unexpected MEM_DEBUG64 packet length %u\n", pkt->length);
		sahara_send_reset(dev);
		return;
	}
	uint64_t addr = pkt->debug64_req.addr, length = pkt->debug64_req.length;
	ux_debug("DEBUG64 address: 0x%llx length: 0x%llx\n", static_cast<unsigned long long>(addr),
		 static_cast<unsigned long long>(length));

	if (sahara_send_mem_read64(dev, addr, length) < 0)
		return;
	if (length > DEBUG64_TABLE_MAX) {
		ux_err("DEBUG64 table length 0x%llx exceeds limit\n", static_cast<unsigned long long>(length));
		return;
	}

	std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[length ? length : 1]);
	if (!raw)
		return;
	// An empty table has no bytes to wait for.
	// A serial port hands out what it has buffered, so a table larger than
	// one read arrives in pieces: keep reading until it is whole, or the
	// device stops sending. Left unread, the rest of the table would be
	// taken for region data.
	uint64_t received = 0;
	while (received < length) {
		int n = vorn_read(dev, raw.get() + received, static_cast<size_t>(length - received),
				  SAHARA_TIMEOUT_MS);
		if (n < 0 && received == 0)
			return;
		if (n <= 0)
			break;
		received += std::min<uint64_t>(static_cast<uint64_t>(n), length - received);
	}
	if (received < length)
		ux_err("DEBUG64 table read returned 0x%llx of 0x%llx bytes; using the complete entries\n",
		       static_cast<unsigned long long>(received), static_cast<unsigned long long>(length));

	size_t count = static_cast<size_t>(received / SAHARA_DEBUG_REGION64_SIZE);
	std::vector<sahara_debug_region64> table(count);
	for (size_t i = 0; i < count; i++)
		sahara_debug_region64_decode(raw.get() + i * SAHARA_DEBUG_REGION64_SIZE, &table[i]);
	raw.reset();

	for (size_t i = 0; i < count; i++) {
		const sahara_debug_region64 &r = table[i];
		if (sahara_debug64_filter(r.filename, duruvev_filter)) {
			ux_info("%s skipped per filter\n", sahara_printable(r.filename).c_str());
			continue;
		}
		ux_debug("%-2d: type 0x%llx address: 0x%llx length: 0x%llx region: %s filename: %s\n",
			 static_cast<int>(i), static_cast<unsigned long long>(r.type),
			 static_cast<unsigned long long>(r.addr), static_cast<unsigned long long>(r.length),
			 sahara_printable(r.region).c_str(), sahara_printable(r.filename).c_str());
		int64_t ret = sahara_debug64_one(dev, r, duruvev_path);
		if (ret == -2)
			continue;
		if (ret < 0)
			break;
		ux_info("%s dumped successfully\n", r.filename);
	}

	sahara_build_minidump_elf(duruvev_path, duruvev_filter, table.data(), table.size());
	sahara_send_reset(dev);
}

/* ---- minidump ELF assembly ---- */

struct sahara_file_closer {
	void operator()(FILE *f) const { fclose(f); }
};
using sahara_file = std::unique_ptr<FILE, sahara_file_closer>;

int64_t copy_file_to(FILE *out, const char *path)
{
	sahara_file in(fopen(path, "rb"));
	if (!in)
		return -1;
	std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[MINIDUMP_COPY_PIECE]);
	if (!buf)
		return -1;

	int64_t total = 0;
	for (;;) {
		size_t n = fread(buf.get(), 1, MINIDUMP_COPY_PIECE, in.get());
		if (n == 0)
			break;
		if (fwrite(buf.get(), 1, n, out) != n)
			return -1;
		total += static_cast<int64_t>(n);
	}
	return total;
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
	uint64_t p_paddr;
	uint64_t p_filesz;
};

#define ELF_ET_CORE 4
#define ELF_PT_LOAD 1
#define ELF_EHDR_SIZE 64
#define ELF_PHDR_SIZE 56

void sahara_build_minidump_elf(const char *duruvev_path, const char *filter, const sahara_debug_region64 *table,
			       size_t n_regions)
{
	size_t kelf_idx = n_regions;
	for (size_t i = 0; i < n_regions; i++) {
		if (strncmp(table[i].region, "md_KELF", 7) == 0) {
			kelf_idx = i;
			break;
		}
	}
	if (kelf_idx == n_regions)
		return;
	const sahara_debug_region64 &kelf = table[kelf_idx];
	if (sahara_debug64_filter(kelf.filename, filter))
		return;

	char path[DEBUG64_PATH_MAX];
	if (!sahara_region_path(path, duruvev_path, kelf.filename, "minidump: "))
		return;

	std::vector<uint8_t> kelf_buf;
	{
		sahara_file f(fopen(path, "rb"));
		if (!f) {
			ux_err("minidump: failed to open KELF file %s\n", path);
			return;
		}
		off_t size = -1;
		if (fseeko(f.get(), 0, SEEK_END) == 0)
			size = ftello(f.get());
		if (size <= 0) {
			ux_err("minidump: failed to get KELF file size\n");
			return;
		}
		if (static_cast<uint64_t>(size) > MINIDUMP_KELF_MAX) {
			ux_err("minidump: KELF does not look like a 64-bit ELF core file\n");
			return;
		}
		if (fseeko(f.get(), 0, SEEK_SET) != 0) {
			ux_err("minidump: failed to read KELF file\n");
			return;
		}
		try {
			kelf_buf.resize(static_cast<size_t>(size));
		} catch (const std::bad_alloc &) {
			return;
		}
		if (fread(kelf_buf.data(), 1, kelf_buf.size(), f.get()) != kelf_buf.size()) {
			ux_err("minidump: failed to read KELF file\n");
			return;
		}
	}

	const uint8_t *h = kelf_buf.data();
	uint64_t kelf_size = kelf_buf.size();
	uint64_t e_phoff = kelf_size >= ELF_EHDR_SIZE ? le64_get(h + 32) : 0;
	uint16_t e_phnum = kelf_size >= ELF_EHDR_SIZE ? le16_get(h + 56) : 0;
	if (kelf_size < ELF_EHDR_SIZE || h[0] != 0x7f || h[1] != 'E' || h[2] != 'L' || h[3] != 'F' ||
	    le16_get(h + 16) != ELF_ET_CORE || le16_get(h + 54) != ELF_PHDR_SIZE || e_phoff > kelf_size ||
	    static_cast<uint64_t>(e_phnum) * ELF_PHDR_SIZE > kelf_size - e_phoff) {
		ux_err("minidump: KELF does not look like a 64-bit ELF core file\n");
		return;
	}

	std::vector<sahara_phdr> phdrs(e_phnum);
	for (size_t i = 0; i < e_phnum; i++) {
		const uint8_t *p = h + e_phoff + i * ELF_PHDR_SIZE;
		phdrs[i] = {le32_get(p), le64_get(p + 24), le64_get(p + 32)};
	}

	size_t vmcore_idx = n_regions;
	for (size_t i = 0; i < n_regions; i++) {
		if (i == kelf_idx || strncmp(table[i].region, "md_K", 4) != 0)
			continue;
		bool loaded = std::any_of(phdrs.begin(), phdrs.end(), [&](const sahara_phdr &ph) {
			return ph.p_type == ELF_PT_LOAD && ph.p_paddr == table[i].addr;
		});
		if (!loaded) {
			vmcore_idx = i;
			break;
		}
	}

	char out_path[DEBUG64_PATH_MAX];
	std::string joined = os_path_join(duruvev_path, "minidump.elf");
	if (joined.size() >= sizeof(out_path)) {
		ux_err("minidump: path \"%s\" is too long\n", joined.c_str());
		return;
	}
	memcpy(out_path, joined.c_str(), joined.size() + 1);
	sahara_file out(fopen(out_path, "wb"));
	if (!out) {
		ux_err("minidump: failed to create %s\n", out_path);
		return;
	}
	if (fwrite(kelf_buf.data(), 1, kelf_buf.size(), out.get()) != kelf_buf.size()) {
		ux_err("minidump: failed to write KELF to output\n");
		return;
	}
	std::vector<uint8_t>().swap(kelf_buf);

	if (vmcore_idx != n_regions) {
		bool ok = sahara_region_path(path, duruvev_path, table[vmcore_idx].filename, "minidump: ") &&
			  copy_file_to(out.get(), path) >= 0;
		if (!ok)
			ux_err("minidump: vmcoreinfo region missing, crash may not load correctly\n");
	}

	for (const sahara_phdr &ph : phdrs) {
		if (ph.p_type != ELF_PT_LOAD)
			continue;
		const sahara_debug_region64 *r = nullptr;
		for (size_t i = 0; i < n_regions && !r; i++)
			if (table[i].addr == ph.p_paddr)
				r = &table[i];
		if (!r) {
			ux_err("minidump: no region found for PT_LOAD at paddr 0x%llx\n",
			       static_cast<unsigned long long>(ph.p_paddr));
			continue;
		}
		if (!sahara_region_path(path, duruvev_path, r->filename, "minidump: "))
			continue;
		int64_t copied = copy_file_to(out.get(), path);
		if (copied < 0) {
			ux_err("minidump: region %s missing, skipping\n", r->filename);
			continue;
		}
		if (static_cast<uint64_t>(copied) < ph.p_filesz &&
		    write_zeroes(out.get(), ph.p_filesz - static_cast<uint64_t>(copied)) < 0) {
			ux_err("minidump: failed to pad region %s\n", r->filename);
			return;
		}
	}

	// Buffered data still has to reach the file before success is claimed.
	FILE *f = out.release();
	if (fclose(f) != 0) {
		ux_err("minidump: failed to write %s\n", out_path);
		return;
	}
	ux_info("minidump: ELF written to %s\n", out_path);
}

/* ---- exchange loop ---- */

// A serial port hands out whatever it has buffered, so a packet may arrive in
// pieces: complete it by its length field before judging it, reading no
// further than that packet. A USB transfer is always one whole packet; there
// a length that lies only costs one more read that times out.
static int sahara_complete_packet(vorn_device *dev, uint8_t *buf, int n)
{
	for (;;) {
		size_t need = n < 8 ? 8 : le32_get(buf + 4);
		if (need <= static_cast<size_t>(n) || need > SAHARA_RX_SIZE)
			return n;
		int more = vorn_read(dev, buf + n, need - static_cast<size_t>(n), SAHARA_TIMEOUT_MS);
		if (more <= 0)
			return n;
		n += more;
	}
}

// The fixed length of a device packet the loop dispatches, with its name for
// the message; 0 for commands whose length is checked elsewhere or not at all.
static uint32_t sahara_required_length(uint32_t cmd, const char **name)
{
	static const struct {
		uint32_t cmd, length;
		const char *name;
	} lengths[] = {
		{SAHARA_HELLO, 48, "HELLO"},
		{SAHARA_READ_DATA, 20, "READ_DATA"},
		{SAHARA_READ_DATA64, 32, "READ_DATA64"},
		{SAHARA_END_OF_IMAGE, 16, "END_OF_IMAGE"},
		{SAHARA_DONE_RESP, 12, "DONE_RESP"},
		{SAHARA_RESET_RESP, 8, "RESET_RESP"},
	};
	for (const auto &l : lengths) {
		if (l.cmd == cmd) {
			*name = l.name;
			return l.length;
		}
	}
	return 0;
}

int sahara_run(vorn_device *dev, const sahara_image *images, const char *duruvev_path, const char *duruvev_filter)
{
	bool detect_firehose = duruvev_path == nullptr;
	bool first_read = true;
	uint8_t buf[SAHARA_RX_SIZE];
	sahara_pkt pkt;

	if (images)
		sahara_debug_list_images(images);
	if (dev->dev_type == VORN_DEVICE_SIM)
		return 0;

	for (;;) {
		int n = vorn_read(dev, buf, sizeof(buf), SAHARA_TIMEOUT_MS);
		if (n < 0) {
			if (first_read && detect_firehose && n == -ETIMEDOUT) {
				if (dev->dev_type == VORN_DEVICE_QUD || dev->dev_type == VORN_DEVICE_AUTO) {
					sahara_send_hello_resp(dev, 0);
					continue;
				}
				ux_info("no Sahara HELLO received; assuming Firehose programmer is already running\n");
				return 0;
			}
			ux_err("failed to read sahara request from device\n");
			return -1;
		}
		if (first_read && detect_firehose && n >= 5 && memcmp(buf, "<?xml", 5) == 0) {
			ux_info("device is already in Firehose mode, skipping Sahara\n");
			return 0;
		}
		n = sahara_complete_packet(dev, buf, n);
		if (n < 8 || le32_get(buf + 4) != static_cast<uint32_t>(n)) {
			ux_err("request length not matching received request\n");
			return -EINVAL;
		}
		sahara_pkt_decode(buf, static_cast<size_t>(n), &pkt);

		const char *name = nullptr;
		uint32_t want = sahara_required_length(pkt.cmd, &name);
		if (want && pkt.length != want) {
			ux_err("unexpected %s packet length %u\n", name, pkt.length);
			// A malformed RESET_RESP comes after the reset already.
			if (pkt.cmd != SAHARA_RESET_RESP)
				sahara_send_reset(dev);
			return -1;
		}

		switch (pkt.cmd) {
		case SAHARA_HELLO:
			sahara_hello(dev, &pkt);
			break;
		case SAHARA_READ_DATA:
			if (sahara_read(dev, &pkt, images) < 0)
				return -1;
			break;
		case SAHARA_READ_DATA64:
			if (sahara_read64(dev, &pkt, images) < 0)
				return -1;
			break;
		case SAHARA_END_OF_IMAGE:
			if (sahara_eoi(dev, &pkt) < 0)
				return -1;
			break;
		case SAHARA_DONE_RESP: {
			int32_t status = sahara_done(dev, &pkt);
			if (status < 0)
				return -1;
			if (status > 0 || sahara_has_done_pending_quirk(images))
				return 0;
			break;
		}
		case SAHARA_RESET_RESP:
			if (!detect_firehose)
				return 0;
			break;
		case SAHARA_MEM_DEBUG64:
			sahara_debug64(dev, &pkt, duruvev_path, duruvev_filter);
			break;
		default: {
			char label[16];
			snprintf(label, sizeof(label), "CMD%x", pkt.cmd);
			print_hex_dump(label, buf, static_cast<size_t>(n));
			break;
		}
		}
		first_read = false;
	}
}
