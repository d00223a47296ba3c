// The cap on the size of the files a test program writes, installed in every
// test program before its first test.
#include <csignal>
#include <sys/resource.h>

#include "test_support.h"

bool set_file_size_cap(uint64_t bytes)
{
	struct rlimit lim;
	if (getrlimit(RLIMIT_FSIZE, &lim) != 0)
		return false;
	// Only the soft limit moves, so that a test can raise it again later.
	if (lim.rlim_max != RLIM_INFINITY && bytes > lim.rlim_max)
		return false;
	lim.rlim_cur = bytes == UINT64_MAX ? RLIM_INFINITY : static_cast<rlim_t>(bytes);
	return setrlimit(RLIMIT_FSIZE, &lim) == 0;
}

uint64_t file_size_cap()
{
	struct rlimit lim;
	if (getrlimit(RLIMIT_FSIZE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY)
		return UINT64_MAX;
	return lim.rlim_cur;
}

void install_file_size_cap()
{
	// The default action of SIGXFSZ ends the writer at the first write past
	// the cap, even when the code under test ignores or retries a failed
	// write; an ignored signal would leave such a loop spinning on EFBIG
	// until the time-out. It may have been inherited as ignored.
	signal(SIGXFSZ, SIG_DFL);
	set_file_size_cap(test_file_size_cap);
}

namespace {

class file_size_cap_env : public testing::Environment {
	void SetUp() override
	{
		install_file_size_cap();
		// A tighter hard limit set from outside also does.
		ASSERT_LE(file_size_cap(), test_file_size_cap) << "no cap on the size of files";
	}
};

[[maybe_unused]] testing::Environment *const file_size_cap_installed =
	testing::AddGlobalTestEnvironment(new file_size_cap_env);

} // namespace
