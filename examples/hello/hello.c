/* The demo application's main library. It prints a greeting, its arguments,
   the two variables the launcher hands over and the first line of a data
   file, and returns the status given as `--exit N`. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "greeting.h"

#ifdef _WIN32
#include <windows.h>
#define EXPORT __declspec(dllexport)
typedef wchar_t app_char;

/* Prints a wide string as UTF-8. */
static void print(const wchar_t* text) {
    char buffer[8192];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
    if (length > 0) fputs(buffer, stdout);
}
static const wchar_t* environment(const char* name, wchar_t* buffer, size_t size) {
    wchar_t wide[64];
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 64);
    return GetEnvironmentVariableW(wide, buffer, (DWORD)size) ? buffer : L"(unset)";
}
#define TEXT_OF(s) L##s
#define EQUAL wcscmp
#define TO_INT _wtoi
#define SEPARATOR L'\\'
#else
#define EXPORT __attribute__((visibility("default")))
typedef char app_char;
static void print(const char* text) { fputs(text, stdout); }
static const char* environment(const char* name, char* buffer, size_t size) {
    const char* value = getenv(name);
    (void)buffer;
    (void)size;
    return value != NULL ? value : "(unset)";
}
#define TEXT_OF(s) s
#define EQUAL strcmp
#define TO_INT atoi
#define SEPARATOR '/'
#endif

static void print_data_line(const app_char* dll_path) {
    app_char path[4096];
    size_t length = 0;
    for (; dll_path[length] != 0 && length < 4000; length++) path[length] = dll_path[length];
    while (length > 0 && path[length - 1] != SEPARATOR) length--;
#ifdef _WIN32
    const app_char* name = L"data\\message.txt";
#else
    const app_char* name = "data/message.txt";
#endif
    size_t i = 0;
    for (; name[i] != 0; i++) path[length + i] = name[i];
    path[length + i] = 0;
#ifdef _WIN32
    FILE* file = _wfopen(path, L"rb");
#else
    FILE* file = fopen(path, "rb");
#endif
    char line[256] = "(missing)";
    if (file != NULL) {
        if (fgets(line, sizeof line, file) == NULL) line[0] = 0;
        fclose(file);
    }
    line[strcspn(line, "\r\n")] = 0;
    printf("data file: %s\n", line);
}

EXPORT int run_code(int argc, app_char** argv, const app_char* dll_path) {
    app_char buffer[4096];
    int status = 0;
    printf("%s\n", greeting_text());
    printf("argc: %d\n", argc);
    for (int i = 0; i < argc; i++) {
        printf("argv[%d]: [", i);
        print(argv[i]);
        printf("]\n");
        if (EQUAL(argv[i], TEXT_OF("--exit")) == 0 && i + 1 < argc) status = TO_INT(argv[i + 1]);
    }
    printf("TALVOR_ONEFILE_DIRECTORY: ");
    print(environment("TALVOR_ONEFILE_DIRECTORY", buffer, 4096));
    printf("\nTALVOR_ORIGINAL_ARGV0: ");
    print(environment("TALVOR_ORIGINAL_ARGV0", buffer, 4096));
    printf("\nmain library: ");
    print(dll_path);
    printf("\n");
    print_data_line(dll_path);
    printf("exit status: %d\n", status);
    fflush(stdout);
    return status;
}
