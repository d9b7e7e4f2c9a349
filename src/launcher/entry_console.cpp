// The entry of the console launcher, for console applications (a shell, a
// compiler, any command-line tool). On Windows it is a console-subsystem
// program, so that a command prompt waits for it and sees its exit code.
// It differs from the default launcher in one flag: interrupts that the
// terminal delivers to the application too are left to the application.
#include "launcher/launcher.h"
#include "launcher/launcher_state.h"

#ifdef _WIN32
#include <windows.h>

// The runtime fills __argc and __wargv for wmain as it does for wWinMain;
// launcher_main reads them from there.
int wmain(int, wchar_t**) {
    interrupts_left_to_application = true;
    return launcher_main(GetModuleHandleW(nullptr), nullptr, nullptr, SW_SHOWDEFAULT);
}
#else
int main(int argc, char** argv) {
    os_set_arguments(argc, argv);
    interrupts_left_to_application = true;
    return launcher_main(nullptr, nullptr, nullptr, 0);
}
#endif
