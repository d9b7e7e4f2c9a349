#include "greeting.h"

const char* greeting_text(void) { return "Hello from a onefile application!"; }
