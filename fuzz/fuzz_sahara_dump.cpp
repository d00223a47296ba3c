// The memory-debug exchange against a device whose every answer comes from
// the fuzz input: packets, region tables, region data, time-outs and I/O
// errors in any order. The dump goes to a temporary directory emptied after
// every run; any file growing past the size limit is a finding (SIGXFSZ), as
// is a crash, a leak or a hang. Run with -close_fd_mask=3: the engine's
// console output would swamp the fuzzer's.
//
// Input: a sequence of records, each one answer to one read:
//   byte 0: 0 data, 1 -ETIMEDOUT, 2 -EIO, 3 an empty transfer
//   data: bytes 1-2 little-endian length N, then N bytes. A read that asks
//   for fewer gets the rest with the next read, as from a serial port.
// When the records run out every read fails with -EIO.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "le.h"
#include "oscompat.h"
#include "sahara.h"
#include "vorn.h"

namespace {

struct fuzz_device : vorn_device {
	const uint8_t *data;
	size_t size;
	size_t pos = 0;
	std::vector<uint8_t> rest;

	fuzz_device(const uint8_t *d, size_t n) : data(d), size(n) { dev_type = VORN_DEVICE_USB; }
	int open(const char *) override { return 0; }
	void close() override {}
	int write(const void *, size_t len, unsigned) override { return static_cast<int>(len); }
	int read(void *buf, size_t len, unsigned) override
	{
		if (rest.empty()) {
			if (pos >= size)
				return -EIO;
			uint8_t op = data[pos++] & 3;
			if (op == 1)
				return -ETIMEDOUT;
			if (op == 2)
				return -EIO;
			if (op == 3)
				return 0;
			if (size - pos < 2)
				return -EIO;
			size_t n = le16_get(data + pos);
			pos += 2;
			n = std::min(n, size - pos);
			rest.assign(data + pos, data + pos + n);
			pos += n;
			if (n == 0)
				return 0;
		}
		size_t n = std::min(len, rest.size());
		memcpy(buf, rest.data(), n);
		rest.erase(rest.begin(), rest.begin() + static_cast<long>(n));
		return static_cast<int>(n);
	}
};

std::string out_dir;

void setup_once()
{
	char tmpl[] = "/tmp/fuzz-sahara-dump-XXXXXX";
	if (!mkdtemp(tmpl))
		abort();
	out_dir = tmpl;
	atexit([] {
		std::error_code ec;
		std::filesystem::remove_all(out_dir, ec);
	});
	// No input of this size can justify a larger file: anything bigger is
	// an unbounded write.
	struct rlimit cap = {64u << 20, 64u << 20};
	setrlimit(RLIMIT_FSIZE, &cap);
	// Syncing every file would only slow the search down.
	sahara_config().durable_writes = false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (out_dir.empty())
		setup_once();
	fuzz_device dev(data, size);
	const char *filter = nullptr;
	// An odd first byte also runs a filter, so the filter path is covered.
	if (size > 0 && (data[0] & 0x80))
		filter = "md_K*,A*";
	(void)sahara_run(&dev, nullptr, out_dir.c_str(), filter);

	std::error_code ec;
	for (const auto &e : std::filesystem::directory_iterator(out_dir, ec))
		std::filesystem::remove_all(e.path(), ec);
	return 0;
}
