// Placeholder until this back-end is built: reports out of memory.
#include "vorn.h"

vorn_device *sim_init(void)
{
	return nullptr;
}
