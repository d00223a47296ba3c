// Placeholder until this back-end is built: reports out of memory.
#include "vorn.h"

vorn_device *qud_init(void)
{
	return nullptr;
}

int qud_probe_present(void)
{
	return 0;
}
