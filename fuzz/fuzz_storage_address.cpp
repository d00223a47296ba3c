// Storage addresses from arbitrary text: never a crash or leak, and on
// failure nothing written; on success the results hang together.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util.h"
#include "vorn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string address(reinterpret_cast<const char *>(data), size);
	char sentinel[] = "unset";
	int part = -77;
	unsigned start = 77, count = 78;
	char *name = sentinel;

	if (parse_storage_address(address.c_str(), &part, &start, &count, &name) != 0) {
		if (part != -77 || start != 77 || count != 78 || name != sentinel)
			__builtin_trap();
		return 0;
	}
	if (part < -1)
		__builtin_trap();
	if (part == -1 && (!name || strcmp(name, address.c_str()) != 0 || start || count))
		__builtin_trap();
	if (name && (start || count))
		__builtin_trap();
	if (!name && part < 0)
		__builtin_trap();
	free(name);
	return 0;
}
