// The process entry: hands over to launcher_main, whose result is the exit
// code that the runtime passes to exit.
#include "launcher/launcher.h"

#ifdef _WIN32
#include <windows.h>

// Wildcard expansion of the runtime's argument vector stays off: the
// application gets its arguments as the user typed them, like a plain
// Windows program (see os_command_line_arguments). The definition is explicit
// because the runtime's start-up code asks for it: that is what takes this
// file, and its wWinMain, out of the static library at link time.
extern "C" {
int _dowildcard = 0;
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
