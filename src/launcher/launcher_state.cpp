#include "launcher/launcher_state.h"

int launcher_argc;
os_char** launcher_argv;
uint32_t parent_process_id;
bool interrupts_left_to_application;
