// The user's folders, the clock and the counter.
#include <windows.h>

#include "os/os.h"
#include "os/win32/win32.h"

// GetTempPathW writes straight into the caller's buffer. When the folder does
// not fit it writes nothing and reports the size it would need; the empty
// string set first then stands for "nothing", whatever the call returned.
void os_temp_path(os_char* out, size_t capacity) {
    if (capacity == 0) return;
    out[0] = 0;
    GetTempPathW((DWORD)capacity, out);
}

// Only S_OK counts: S_FALSE, a folder that does not exist, is a failure too.
static bool shell_folder(int csidl, os_char* out) {
    typedef HRESULT(WINAPI * folder_function)(HWND, int, HANDLE, DWORD, LPWSTR);
    folder_function folder = (folder_function)(void (*)(void))shell32_function("SHGetFolderPathW");
    return folder != nullptr && folder(nullptr, csidl, nullptr, 0 /* SHGFP_TYPE_CURRENT */, out) == S_OK;
}

bool os_profile_folder(os_char* out) { return shell_folder(0x28 /* CSIDL_PROFILE */, out); }

bool os_cache_folder(os_char* out) { return shell_folder(0x1C /* CSIDL_LOCAL_APPDATA */, out); }

int64_t os_system_time(void) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (int64_t)(((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime);
}

void os_performance_counter(int64_t* counter) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    *counter = now.QuadPart;
}
