// The front end: the command line and the run sequence.
#pragma once
#include <cstdio>

extern bool vorn_debug;
// glibc exports a __progname of its own and sets it from argv[0] at start-up;
// ours must stay "duruvev", so it links under a name of its own.
extern const char *__progname __asm__("duruvev_progname");
void print_usage(FILE *out);
int duruvev_main(int argc, char **argv);
