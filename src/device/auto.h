// The automatic back-end's neighbours, gathered in one table so that tests
// can script the passes of its waiting loop.
#pragma once
#include "vorn.h"

struct auto_backends {
	vorn_device *(*usb_init)(void);
	int (*try_usb_open)(vorn_device *dev, const char *serial, int *visible_out);
	vorn_device *(*qud_init)(void);
	int (*qud_probe_present)(void);
	bool (*qud_names_port)(const char *serial);
	void (*sleep_ms)(unsigned ms);
};

// The real USB and COM-port back-ends and os_sleep_ms.
extern const auto_backends auto_default_backends;

// auto_init() with other neighbours; the table must outlive the record.
vorn_device *auto_init_with(const auto_backends *backends);
