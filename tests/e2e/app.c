/* The main library of the end-to-end tests. Its first argument after the
   program name picks what it does:
     print            report argc, every argument, the library path and the
                      hand-over variables, as hex of their UTF-8 bytes
     exit N           return N
     crash            end by an access violation (Windows) or SIGSEGV
     sleep MS         sleep, then return 0
     stubborn MS [N]  survive interrupts (SIGINT/SIGTERM/SIGHUP/SIGQUIT,
                      console events) and count them while it sleeps, print
                      "interrupts=COUNT", return N (default 0)
     link TARGET      make a symbolic link "outside" in the target directory
     ignored MS N     print "ignored=" and the numbers of the signals it
                      inherited as ignored, comma-separated, sleep, return N
     dep              call into the dependency library
     hold MS [STOP]   note every file in its own directory (the directory of
                      the main library) with its size, sleep (until the file
                      STOP exists, if given), then check that each is still
                      there with that size: prints "kept=COUNT" and returns
                      0, or "lost=NAME" and 8
     plugin [bare]    load the plugin from the main library's directory at
                      run time and return its plugin_value; on Windows by
                      its full path, or with "bare" by its bare name, and
                      print where the plugin and its dependency came from
                      ("packed": the main library's directory)
     spawn MS         (Windows) print "app=PID", start the launcher again
                      with "sleep MS" from the same target directory, print
                      "spawned=PID" of that program, then sleep MS
   Every command prints "ready" first, flushed, so a driver knows it runs. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#define EXPORT __declspec(dllexport)
typedef wchar_t app_char;
#else
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>
#define EXPORT __attribute__((visibility("default")))
typedef char app_char;
#endif

#ifdef TALVOR_E2E_WITH_DEP
#ifdef _WIN32
__declspec(dllimport)
#endif
int dep_value(void);
#endif

static void print_hex(const char* label, const app_char* text) {
    printf("%s=", label);
    if (text == NULL) {
        printf("unset\n");
        return;
    }
#ifdef _WIN32
    char utf8[65536];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    const char* bytes = length > 0 ? utf8 : "";
#else
    const char* bytes = text;
#endif
    printf("x");
    for (const unsigned char* p = (const unsigned char*)bytes; *p; p++) printf("%02x", *p);
    printf("\n");
}

/* Windows: the system's value, and as "crt.NAME" and "crtw.NAME" the C
   runtime's copy, read with getenv and _wgetenv. */
static void print_env(const char* name) {
#ifdef _WIN32
    static wchar_t value[32768];
    wchar_t wide[64];
    char label[80];
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 64);
    DWORD n = GetEnvironmentVariableW(wide, value, 32768);
    print_hex(name, n > 0 ? value : NULL);
    const char* narrow = getenv(name);
    snprintf(label, sizeof label, "crt.%s", name);
    printf("%s=", label);
    if (narrow == NULL) {
        printf("unset\n");
    } else {
        printf("x");
        for (const unsigned char* p = (const unsigned char*)narrow; *p; p++) printf("%02x", *p);
        printf("\n");
    }
    snprintf(label, sizeof label, "crtw.%s", name);
    print_hex(label, _wgetenv(wide));
#else
    print_hex(name, getenv(name));
#endif
}

static long number(const app_char* text) {
#ifdef _WIN32
    return wcstol(text, NULL, 10);
#else
    return strtol(text, NULL, 10);
#endif
}

static int is(const app_char* text, const char* word) {
    for (; *word; text++, word++)
        if (*text != (app_char)*word) return 0;
    return *text == 0;
}

/* The full time, also when a signal handler interrupts the pause. */
static void sleep_ms(long ms) {
#ifdef _WIN32
    Sleep((DWORD)ms);
#else
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
#endif
}

/* The files of the application's own directory, with their sizes. */
#define HOLD_MAX 64
struct held_file {
    char name[260];
    long long size;
};

static int list_own_files(const app_char* dll_path, struct held_file* files) {
    int count = 0;
#ifdef _WIN32
    wchar_t pattern[32768];
    wcscpy(pattern, dll_path);
    wchar_t* cut = wcsrchr(pattern, L'\\');
    wcscpy(cut != NULL ? cut + 1 : pattern, L"*");
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (count == HOLD_MAX) break;
        WideCharToMultiByte(CP_UTF8, 0, entry.cFileName, -1, files[count].name, sizeof files[count].name, NULL, NULL);
        files[count].size = ((long long)entry.nFileSizeHigh << 32) | entry.nFileSizeLow;
        count++;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
#else
    char folder[4096];
    snprintf(folder, sizeof folder, "%s", dll_path);
    char* cut = strrchr(folder, '/');
    if (cut != NULL) *cut = 0;
    DIR* listing = opendir(folder);
    if (listing == NULL) return 0;
    struct dirent* entry;
    while ((entry = readdir(listing)) != NULL && count < HOLD_MAX) {
        char path[8192];
        struct stat status;
        snprintf(path, sizeof path, "%s/%s", folder, entry->d_name);
        if (lstat(path, &status) != 0 || !S_ISREG(status.st_mode)) continue;
        snprintf(files[count].name, sizeof files[count].name, "%s", entry->d_name);
        files[count].size = (long long)status.st_size;
        count++;
    }
    closedir(listing);
#endif
    return count;
}

static int exists(const app_char* path) {
#ifdef _WIN32
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
#else
    return access(path, F_OK) == 0;
#endif
}

static int hold(const app_char* dll_path, long ms, const app_char* stop) {
    static struct held_file before[HOLD_MAX], after[HOLD_MAX];
    int count = list_own_files(dll_path, before);
    for (long waited = 0; waited < ms && (stop == NULL || !exists(stop)); waited += 50) sleep_ms(50);
    int now = list_own_files(dll_path, after);
    for (int i = 0; i < count; i++) {
        int found = 0;
        for (int j = 0; j < now && !found; j++)
            found = strcmp(before[i].name, after[j].name) == 0 && before[i].size == after[j].size;
        if (!found) {
            printf("lost=%s\n", before[i].name);
            fflush(stdout);
            return 8;
        }
    }
    printf("kept=%d\n", count);
    fflush(stdout);
    return count > 0 ? 0 : 8;
}

static volatile long interrupts;

#ifdef _WIN32
static BOOL WINAPI swallow(DWORD event) {
    (void)event;
    InterlockedIncrement(&interrupts);
    return TRUE;
}
#else
/* Sleeps about MS while it takes the signals of `taken`, blocked before, and
   counts them. A signal handler would do as well in a plain build; under
   ThreadSanitizer, whose runtime defers the handler of an asynchronous
   signal to a later point of the thread, a signal that came just as the
   program wrote its line was lost now and then. A blocked signal stays
   pending until sigtimedwait takes it. */
static long count_while_sleeping(const sigset_t* taken, long ms) {
    long count = 0;
    for (long slept = 0; slept < ms; slept += 10) {
        struct timespec slice = {0, 10000000L};
        if (sigtimedwait(taken, NULL, &slice) > 0) count++;
    }
    return count;
}
#endif

EXPORT int run_code(int argc, app_char** argv, const app_char* dll_path) {
    printf("ready\n");
    fflush(stdout);
    if (argc < 2) return 0;
    const app_char* command = argv[1];
    if (is(command, "print")) {
        printf("argc=%d\n", argc);
        for (int i = 0; i < argc; i++) {
            char label[32];
            snprintf(label, sizeof label, "arg%d", i);
            print_hex(label, argv[i]);
        }
        print_hex("dll", dll_path);
        print_env("TALVOR_ONEFILE_DIRECTORY");
        print_env("TALVOR_ORIGINAL_ARGV0");
        print_env("TALVOR_ONEFILE_PARENT");
        print_env("TALVOR_ONEFILE_TIME_US");
        print_env("TALVOR_ONEFILE_RANDOM");
        print_env("TALVOR_ONEFILE_START");
        fflush(stdout);
        return 0;
    }
    if (is(command, "exit") && argc > 2) return (int)number(argv[2]);
    if (is(command, "crash")) {
        fflush(stdout);
#ifdef _WIN32
        *(volatile int*)0 = 1;
#else
        /* The same end as a stray write, without tripping the sanitizers'
           own checks in their builds. */
        raise(SIGSEGV);
#endif
        return 0;
    }
    if (is(command, "sleep") && argc > 2) {
        sleep_ms(number(argv[2]));
        return 0;
    }
    if (is(command, "hold") && argc > 2) return hold(dll_path, number(argv[2]), argc > 3 ? argv[3] : NULL);
    if (is(command, "stubborn") && argc > 2) {
#ifdef _WIN32
        SetConsoleCtrlHandler(swallow, TRUE);
#else
        sigset_t taken;
        sigemptyset(&taken);
        sigaddset(&taken, SIGINT);
        sigaddset(&taken, SIGTERM);
        sigaddset(&taken, SIGHUP);
        sigaddset(&taken, SIGQUIT);
        sigprocmask(SIG_BLOCK, &taken, NULL);
#endif
        printf("stubborn\n");
        fflush(stdout);
#ifdef _WIN32
        sleep_ms(number(argv[2]));
#else
        interrupts = count_while_sleeping(&taken, number(argv[2]));
#endif
        printf("interrupts=%ld\n", (long)interrupts);
        fflush(stdout);
        return argc > 3 ? (int)number(argv[3]) : 0;
    }
    if (is(command, "plugin")) {
        typedef int (*plugin_function)(void);
        plugin_function plugin_value = NULL;
#ifdef _WIN32
        /* The process's default search: the target directory and the
           system's, never the launcher's folder, the current directory or
           PATH, for the module and for what it imports. */
        wchar_t path[32768], folder[32768], loaded[32768];
        wcscpy(folder, dll_path);
        wchar_t* cut = wcsrchr(folder, L'\\');
        if (cut != NULL) cut[1] = 0;
        _snwprintf(path, 32768, L"%lslibe2e_plugin.dll", folder);
        HMODULE plugin = LoadLibraryW(argc > 2 && is(argv[2], "bare") ? L"libe2e_plugin.dll" : path);
        if (plugin == NULL) {
            printf("plugin=failed %lu\n", (unsigned long)GetLastError());
            return 3;
        }
        plugin_value = (plugin_function)(void*)GetProcAddress(plugin, "plugin_value");
        HMODULE modules[2] = {plugin, GetModuleHandleW(L"libe2e_dep.dll")};
        for (int i = 0; i < 2; i++) {
            DWORD n = modules[i] != NULL ? GetModuleFileNameW(modules[i], loaded, 32768) : 0;
            int packed = n > wcslen(folder) && _wcsnicmp(loaded, folder, wcslen(folder)) == 0 &&
                         wcschr(loaded + wcslen(folder), L'\\') == NULL;
            printf("%s=%s\n", i == 0 ? "plugin" : "dep", packed ? "packed" : "elsewhere");
        }
#else
        char path[4096];
        snprintf(path, sizeof path, "%s", dll_path);
        char* cut = strrchr(path, '/');
        size_t keep = cut != NULL ? (size_t)(cut + 1 - path) : 0;
        snprintf(path + keep, sizeof path - keep, "libe2e_plugin.so");
        void* plugin = dlopen(path, RTLD_NOW);
        if (plugin != NULL) plugin_value = (plugin_function)dlsym(plugin, "plugin_value");
        printf("plugin=%s\n", plugin_value != NULL ? "loaded" : dlerror());
#endif
        fflush(stdout);
        return plugin_value != NULL ? plugin_value() : 3;
    }
#ifdef _WIN32
    if (is(command, "spawn") && argc > 2) {
        /* The inherited hand-over variables make the new program a child of
           the same launcher, so it runs from the same directory. */
        printf("app=%lu\n", (unsigned long)GetCurrentProcessId());
        wchar_t line[32768];
        _snwprintf(line, 32768, L"\"%ls\" sleep %ls", argv[0], argv[2]);
        line[32767] = 0;
        STARTUPINFOW startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started;
        if (!CreateProcessW(argv[0], line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started)) {
            printf("spawned=failed %lu\n", (unsigned long)GetLastError());
            return 4;
        }
        printf("spawned=%lu\n", (unsigned long)started.dwProcessId);
        fflush(stdout);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        sleep_ms(number(argv[2]));
        return 0;
    }
#else
    if (is(command, "link") && argc > 2) {
        char path[4096];
        snprintf(path, sizeof path, "%s", dll_path);
        char* slash = strrchr(path, '/');
        if (slash != NULL) strcpy(slash + 1, "outside");
        return symlink(argv[2], path) == 0 ? 0 : 9;
    }
    if (is(command, "ignored") && argc > 3) {
        printf("ignored=");
        const char* comma = "";
        for (int s = 1; s <= SIGRTMAX; s++) {
            struct sigaction action;
            if (sigaction(s, NULL, &action) == 0 && action.sa_handler == SIG_IGN) {
                printf("%s%d", comma, s);
                comma = ",";
            }
        }
        printf("\n");
        fflush(stdout);
        sleep_ms(number(argv[2]));
        return (int)number(argv[3]);
    }
#endif
#ifdef TALVOR_E2E_WITH_DEP
    if (is(command, "dep")) return dep_value();
#endif
    return 0;
}
