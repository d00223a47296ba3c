// Placeholder until file access is built.
#include "file.h"
