#include "launcher/launcher_state.h"

os_char target_directory[path_capacity];
os_char main_dll_path[path_capacity];
int launcher_argc;
os_char** launcher_argv;
bool interrupts_left_to_application;
