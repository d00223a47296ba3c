// Checks of the Windows program's own parts that the command line cannot
// reach, run under Wine by scripts/test-windows.sh:
//
//   duruvev-wincheck errno            the err family's texts for the errno
//                                     values the program reports
//   duruvev-wincheck cancel PORT      a read whose wait runs out keeps the
//                                     bytes it had moved (the emulator's HELLO
//                                     is waiting on PORT)
//   duruvev-wincheck list             the Qualcomm ports that device setup
//                                     lists, one "PID SERIAL PATH" a line;
//                                     exits 0 when there is at least one
//   duruvev-wincheck kind PATH...     what image loading makes of each path:
//                                     "PATH: regular file", or what it is
//                                     instead of one
//
// Each prints what it found and exits 0 when it is right, 1 when not.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oscompat.h"
#include "qud_platform.h"
#include "vorn.h"

namespace {

int check_errno_texts()
{
	const int reported[] = {EIO, ENOMEM, EBUSY, ENODEV, EINVAL, ETIMEDOUT, ENOENT, EACCES,
				ENOSPC, ENOTDIR, EEXIST, EROFS, ENOTSUP, ECANCELED};
	int bad = 0;
	for (int e : reported) {
		const char *text = os_strerror(e);
		printf("%d %s\n", e, text);
		if (!text || strstr(text, "Unknown error"))
			bad++;
	}
	// Through the err family as the dump's read failure reports it.
	errno = ETIMEDOUT;
	warn("failed to read duruvev chunk");
	return bad == 0 ? 0 : 1;
}

int check_cancel(const char *name)
{
	std::string path = std::string("\\\\.\\") + name;
	void *port = nullptr;
	if (qud_platform_native.port_open(path.c_str(), &port) != 0) {
		printf("cannot open %s (error %lu)\n", path.c_str(), qud_platform_native.last_error());
		return 1;
	}
	if (qud_platform_native.port_configure(port) != 0) {
		printf("cannot configure %s (error %lu)\n", path.c_str(), qud_platform_native.last_error());
		qud_platform_native.port_close(port);
		return 1;
	}
	// The port would wait 10 s for 100 bytes; only the 48 bytes of HELLO
	// come, so the 1.5 s wait runs out and the read is cancelled.
	COMMTIMEOUTS to = {0, 0, 10000, 0, 0};
	if (!SetCommTimeouts(static_cast<HANDLE>(port), &to)) {
		printf("SetCommTimeouts failed (error %lu)\n", GetLastError());
		qud_platform_native.port_close(port);
		return 1;
	}
	unsigned char buf[100];
	memset(buf, 0, sizeof(buf));
	int n = qud_win_transfer(port, buf, sizeof(buf), 1500, false);
	qud_platform_native.port_close(port);
	uint32_t cmd = buf[0] | buf[1] << 8 | buf[2] << 16 | static_cast<uint32_t>(buf[3]) << 24;
	uint32_t len = buf[4] | buf[5] << 8 | buf[6] << 16 | static_cast<uint32_t>(buf[7]) << 24;
	printf("cancelled read returned %d; command %u, length %u\n", n, cmd, len);
	return n == 48 && cmd == 1 && len == 48 ? 0 : 1;
}

int list_ports()
{
	uint32_t count = 0;
	qud_device_desc *descs = qud_list(&count);
	printf("%u Qualcomm port(s) listed\n", count);
	for (uint32_t i = 0; i < count; i++)
		printf("%04x %s %s\n", descs[i].pid, descs[i].serial, descs[i].path);
	free(descs);
	return count > 0 ? 0 : 1;
}

int print_kinds(int count, char **paths)
{
	for (int i = 0; i < count; i++) {
		const char *kind = nullptr;
		int fd = os_open_regular(paths[i], &kind);
		if (fd >= 0) {
			printf("%s: regular file\n", paths[i]);
			_close(fd);
		} else {
			printf("%s: %s\n", paths[i], kind ? kind : os_strerror(errno));
		}
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	setvbuf(stdout, nullptr, _IONBF, 0);
	if (argc == 2 && strcmp(argv[1], "errno") == 0)
		return check_errno_texts();
	if (argc == 3 && strcmp(argv[1], "cancel") == 0)
		return check_cancel(argv[2]);
	if (argc == 2 && strcmp(argv[1], "list") == 0)
		return list_ports();
	if (argc >= 3 && strcmp(argv[1], "kind") == 0)
		return print_kinds(argc - 2, argv + 2);
	fprintf(stderr, "usage: duruvev-wincheck errno | cancel PORT | list | kind PATH...\n");
	return 2;
}
