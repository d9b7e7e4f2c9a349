// Every text the launcher can print, and its exit codes. Tests compare
// against these constants. A path goes in place of OS_PRI_S ("%ls" on
// Windows, "%s" on Linux) through os_print_path.
#pragma once

#include "os/os.h"

#define MSG_SPEC_EXPAND "Error, couldn't runtime expand spec '" OS_PRI_S "'.\n"
#define MSG_SIGNAL_HANDLER "Error, failed to register signal handler."
#define MSG_NO_HEADER "Error, couldn't find attached data header."
#define MSG_NO_MEMORY "Error, couldn't allocate memory."
#define MSG_DECODE "Error, couldn't decode attached data."
#define MSG_LOAD_DLL "Error, load DLL."
#define MSG_NO_ENTRY_POINT "Error, DLL entry point not found."
#define MSG_OPEN_FOR_WRITING "Error, failed to open '" OS_PRI_S "' for writing.\n"
#define MSG_UNPACK_WRITE "Error, couldn't unpack file to target path."
#define MSG_LAUNCH_CHILD "Error, couldn't launch child"
#define MSG_UNTRUSTED_DIRECTORY                                                                                  \
    "Error, refused target directory '" OS_PRI_S "': not the user's own, or others may write to it.\n"
// A failure with the system's account of it: the message, then in
// parentheses the error code and the system's text, or the text alone when
// the system gives no code (dlerror).
#define MSG_WITH_CODE_HEAD "%s ([Error %ld] "
#define MSG_WITH_TEXT_HEAD "%s ("
#define MSG_SYSTEM_TEXT_TAIL ")\n"
// In place of the tail when a library could not be loaded for want of
// another, which the launcher found missing.
#define MSG_MISSING_MODULE_TAIL ") Missing: '" OS_PRI_S "'.\n"

// Exit codes of the launcher's own failures.
enum {
    EXIT_CODE_FAILURE = 2,        // every reported failure
    EXIT_CODE_NO_CHILD_STATUS = 1 // the child's exit code could not be read
};
