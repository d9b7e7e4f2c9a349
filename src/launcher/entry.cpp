// The process entry: hands over to launcher_main, whose result is the exit
// code that the runtime passes to exit.
#include "launcher/launcher.h"

#ifdef _WIN32
#include <windows.h>

// mingw-w64's runtime leaves wildcard expansion of the argument vector off;
// the launcher's arguments are expanded like those of any console program.
extern "C" {
int _dowildcard = -1;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous_instance, PWSTR command_line, int show_command) {
    return launcher_main(instance, previous_instance, command_line, show_command);
}
#else
int main(int argc, char** argv) {
    os_set_arguments(argc, argv);
    return launcher_main(nullptr, nullptr, nullptr, 0);
}
#endif
