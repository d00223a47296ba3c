#include "duruvev.h"
#include "vorn.h"

int main(int argc, char **argv)
{
	return duruvev_main(argc, argv);
}
