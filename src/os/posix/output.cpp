// Messages that carry a path.
#include <stdio.h>

#include "os/os.h"

// Paths are UTF-8 bytes, written as they are.
void os_print_path(FILE* stream, const char* format, const os_char* path) { fprintf(stream, format, path); }
