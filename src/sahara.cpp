// Placeholder until the engine is built.
#include "vorn.h"

int sahara_run(vorn_device *, const sahara_image *, const char *, const char *)
{
	return -1;
}

bool pattern_match(const char *, const char *)
{
	return false;
}
