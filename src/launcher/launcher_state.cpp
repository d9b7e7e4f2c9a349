#include "launcher/launcher_state.h"

int launcher_argc;
os_char** launcher_argv;
bool interrupts_left_to_application;
