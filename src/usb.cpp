// Placeholder until this back-end is built: reports out of memory.
#include "vorn.h"

vorn_device *usb_init(void)
{
	return nullptr;
}

int try_usb_open(vorn_device *, const char *, int *visible_out)
{
	if (visible_out)
		*visible_out = 0;
	return -EIO;
}
