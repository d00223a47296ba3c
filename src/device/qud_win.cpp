// Windows side of the COM-port transport: the vendor driver's ports are
// found through the device-setup and registry interfaces and driven with
// overlapped I/O.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

#include <devpropdef.h>
#include <setupapi.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "qud_platform.h"

namespace {

// The setup class of ports, {4D36E978-E325-11CE-BFC1-08002BE10318}.
const GUID qud_guid_devclass_ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The bus-reported device description (DEVPKEY_Device_BusReportedDeviceDesc).
const DEVPROPKEY qud_devpkey_bus_reported_device_desc = {
	{0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

constexpr DWORD qud_queue_size = 65536;
constexpr DWORD qud_open_read_timeout = 1000;
constexpr DWORD qud_read_grace_ms = 250;

DWORD win_last_error;

// An event handle closed at scope exit.
struct win_event {
	HANDLE h;
	~win_event()
	{
		if (h)
			CloseHandle(h);
	}
};

} // namespace

struct qud_enum {
	HDEVINFO set;
	SP_DEVINFO_DATA data;
	uint32_t index; // the device data holds; UINT32_MAX when none
};

namespace {

// The device data of index, fetched once per index.
SP_DEVINFO_DATA *win_device_at(qud_enum *e, uint32_t index)
{
	if (e->index == index)
		return &e->data;
	memset(&e->data, 0, sizeof(e->data));
	e->data.cbSize = sizeof(e->data);
	if (!SetupDiEnumDeviceInfo(e->set, index, &e->data)) {
		e->index = UINT32_MAX;
		return nullptr;
	}
	e->index = index;
	return &e->data;
}

qud_enum *win_enum_begin(void)
{
	HDEVINFO set = SetupDiGetClassDevsA(&qud_guid_devclass_ports, nullptr, nullptr, DIGCF_PRESENT);
	if (set == INVALID_HANDLE_VALUE) {
		win_last_error = GetLastError();
		return nullptr;
	}
	auto *e = new (std::nothrow) qud_enum();
	if (!e) {
		SetupDiDestroyDeviceInfoList(set);
		win_last_error = ERROR_NOT_ENOUGH_MEMORY;
		return nullptr;
	}
	e->set = set;
	e->index = UINT32_MAX;
	return e;
}

void win_enum_end(qud_enum *e)
{
	if (!e)
		return;
	SetupDiDestroyDeviceInfoList(e->set);
	delete e;
}

bool win_enum_has(qud_enum *e, uint32_t index)
{
	return win_device_at(e, index) != nullptr;
}

bool win_hardware_id(qud_enum *e, uint32_t index, char *out, size_t size)
{
	SP_DEVINFO_DATA *dev = win_device_at(e, index);
	if (!dev || size == 0)
		return false;
	if (!SetupDiGetDeviceRegistryPropertyA(e->set, dev, SPDRP_HARDWAREID, nullptr,
					       reinterpret_cast<PBYTE>(out), static_cast<DWORD>(size), nullptr))
		return false;
	out[size - 1] = '\0';
	return true;
}

bool win_instance_id(qud_enum *e, uint32_t index, char *out, size_t size)
{
	SP_DEVINFO_DATA *dev = win_device_at(e, index);
	if (!dev || size == 0)
		return false;
	if (!SetupDiGetDeviceInstanceIdA(e->set, dev, out, static_cast<DWORD>(size), nullptr))
		return false;
	out[size - 1] = '\0';
	return true;
}

bool win_port_name(qud_enum *e, uint32_t index, uint8_t *out, uint32_t size, uint32_t *out_size,
		   bool *is_string)
{
	SP_DEVINFO_DATA *dev = win_device_at(e, index);
	if (!dev)
		return false;
	HKEY key = SetupDiOpenDevRegKey(e->set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
	if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE))
		return false;
	DWORD type = 0;
	DWORD bytes = size;
	LONG rc = RegQueryValueExA(key, "PortName", nullptr, &type, out, &bytes);
	RegCloseKey(key);
	if (rc != ERROR_SUCCESS)
		return false;
	*out_size = bytes;
	*is_string = type == REG_SZ;
	return true;
}

int win_bus_description(qud_enum *e, uint32_t index, char *out, size_t size)
{
	SP_DEVINFO_DATA *dev = win_device_at(e, index);
	WCHAR text[256];
	DEVPROPTYPE type = 0;

	if (!dev || size == 0)
		return 0;
	if (!SetupDiGetDevicePropertyW(e->set, dev, &qud_devpkey_bus_reported_device_desc, &type,
				       reinterpret_cast<PBYTE>(text), sizeof(text), nullptr, 0))
		return 0;
	if (type != DEVPROP_TYPE_STRING)
		return 0;
	text[255] = L'\0';
	int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, static_cast<int>(size), nullptr, nullptr);
	if (n <= 0)
		return n;
	out[size - 1] = '\0';
	return n;
}

int win_port_open(const char *path, void **port)
{
	HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
			       FILE_FLAG_OVERLAPPED, nullptr);
	if (h == INVALID_HANDLE_VALUE) {
		win_last_error = GetLastError();
		return -1;
	}
	*port = h;
	return 0;
}

// A read completes when all the bytes it asks for are there, or after
// total_ms with what has come by then; writes have no port-level time-out.
// Reads ask for one byte first and then only for what is queued, so they
// never wait for more than is there (win_port_read). The other way to get
// "as soon as a byte is there", interval and multiplier MAXDWORD, is not
// kept by Wine: such a read never completes there.
bool win_set_read_timeout(HANDLE h, DWORD total_ms)
{
	COMMTIMEOUTS to;
	to.ReadIntervalTimeout = 0;
	to.ReadTotalTimeoutMultiplier = 0;
	to.ReadTotalTimeoutConstant = total_ms;
	to.WriteTotalTimeoutMultiplier = 0;
	to.WriteTotalTimeoutConstant = 0;
	return SetCommTimeouts(h, &to) != 0;
}

int win_configure_handle(HANDLE h)
{
	DCB dcb;

	memset(&dcb, 0, sizeof(dcb));
	dcb.DCBlength = sizeof(dcb);
	if (!GetCommState(h, &dcb))
		return -1;
	dcb.BaudRate = 115200;
	dcb.fBinary = 1;
	dcb.fOutxCtsFlow = 0;
	dcb.fOutxDsrFlow = 0;
	dcb.fDtrControl = DTR_CONTROL_ENABLE;
	dcb.fDsrSensitivity = 0;
	dcb.fOutX = 0;
	dcb.fInX = 0;
	dcb.fNull = 0;
	dcb.fRtsControl = RTS_CONTROL_ENABLE;
	dcb.fAbortOnError = 0;
	dcb.ByteSize = 8;
	dcb.Parity = NOPARITY;
	dcb.StopBits = ONESTOPBIT;
	if (!SetCommState(h, &dcb))
		return -1;

	if (!win_set_read_timeout(h, qud_open_read_timeout))
		return -1;

	(void)SetupComm(h, qud_queue_size, qud_queue_size);
	// Drop unsent output only; what the device already sent stays queued.
	(void)PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
	return 0;
}

int win_port_configure(void *port)
{
	if (win_configure_handle(static_cast<HANDLE>(port)) != 0) {
		win_last_error = GetLastError();
		return -1;
	}
	return 0;
}

} // namespace

// One transfer, finished or cancelled before it returns so the caller's
// buffer is free again. A read that is cancelled keeps what it had moved.
int qud_win_transfer(void *port, void *buf, size_t len, unsigned timeout_ms, bool is_write)
{
	HANDLE h = static_cast<HANDLE>(port);
	OVERLAPPED ov;
	memset(&ov, 0, sizeof(ov));
	win_event ev{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
	if (!ev.h)
		return -EIO;
	ov.hEvent = ev.h;

	DWORD count = len > INT_MAX ? INT_MAX : static_cast<DWORD>(len);
	BOOL ok = is_write ? WriteFile(h, buf, count, nullptr, &ov) : ReadFile(h, buf, count, nullptr, &ov);
	if (!ok && GetLastError() != ERROR_IO_PENDING)
		return -EIO;

	DWORD w = WaitForSingleObject(ev.h, timeout_ms);
	if (w != WAIT_OBJECT_0) {
		// Also when the wait itself failed: the transfer still holds the
		// buffer until it is cancelled and done. The count is set also
		// when the result is the cancellation.
		DWORD moved = 0;
		CancelIoEx(h, &ov);
		GetOverlappedResult(h, &ov, &moved, TRUE);
		if (!is_write && moved > 0 && moved <= count)
			return static_cast<int>(moved);
		return w == WAIT_TIMEOUT ? -ETIMEDOUT : -EIO;
	}

	DWORD moved = 0;
	// A read whose port time-out ran out completes as a success on Windows
	// and, under Wine, with ERROR_TIMEOUT; both with what arrived.
	if (!GetOverlappedResult(h, &ov, &moved, FALSE) && GetLastError() != ERROR_TIMEOUT)
		return -EIO;
	return static_cast<int>(moved);
}

namespace {

// Waits up to timeout_ms for one byte, then takes what else is queued, up
// to len bytes in all, without waiting again.
int win_port_read(void *port, void *buf, size_t len, unsigned timeout_ms)
{
	HANDLE h = static_cast<HANDLE>(port);
	// Keep the constant and the wait finite: MAXDWORD would mean "forever".
	DWORD timeout = timeout_ms > MAXDWORD - 1 - qud_read_grace_ms ? MAXDWORD - 1 - qud_read_grace_ms : timeout_ms;
	DWORD total = timeout == 0 ? 1 : timeout;

	if (len == 0)
		return 0;
	if (!win_set_read_timeout(h, total))
		return -EIO;
	int n = qud_win_transfer(port, buf, 1, timeout + qud_read_grace_ms, false);
	if (n <= 0 || len == 1)
		return n;

	DWORD errors = 0;
	COMSTAT stat;
	memset(&stat, 0, sizeof(stat));
	if (!ClearCommError(h, &errors, &stat) || stat.cbInQue == 0)
		return n;
	size_t more = len - 1 < stat.cbInQue ? len - 1 : stat.cbInQue;
	// The bytes are there, so this read completes at once; a failure now
	// leaves the byte already read to the caller and shows at the next read.
	int m = qud_win_transfer(port, static_cast<char *>(buf) + 1, more, timeout + qud_read_grace_ms, false);
	return m > 0 ? n + m : n;
}

int win_port_write(void *port, const void *buf, size_t len, unsigned timeout_ms)
{
	return qud_win_transfer(port, const_cast<void *>(buf), len, timeout_ms, true);
}

void win_port_close(void *port)
{
	HANDLE h = static_cast<HANDLE>(port);
	if (h && h != INVALID_HANDLE_VALUE)
		CloseHandle(h);
}

unsigned long win_get_last_error(void)
{
	return win_last_error;
}

} // namespace

const qud_platform qud_platform_native = {
	win_enum_begin,
	win_enum_end,
	win_enum_has,
	win_hardware_id,
	win_instance_id,
	win_port_name,
	win_bus_description,
	"\\\\.\\",
	win_port_open,
	win_port_configure,
	win_port_read,
	win_port_write,
	win_port_close,
	win_get_last_error,
	nullptr,
};
