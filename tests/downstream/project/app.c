/* Exits with 42 when the main library, the library chain alpha -> beta and
   every file were unpacked where the build placed them: 40 from the
   libraries plus the 2 in share/data/answer.txt. Anything out of place ends
   with another status and a line on stderr. */
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <wchar.h>
#define EXPORT __declspec(dllexport)
typedef wchar_t text;
#define SEP '\\'
#else
#define EXPORT __attribute__((visibility("default")))
typedef char text;
#define SEP '/'
#endif

int alpha_value(void);

static char dir[4096];

static FILE* open_packed(const char* name) {
    char path[4600];
    snprintf(path, sizeof path, "%s%c%s", dir, SEP, name);
    for (char* p = path + strlen(dir); *p; p++)
        if (*p == '/') *p = SEP;
    return fopen(path, "rb");
}

static int expect(const char* name, int present) {
    FILE* file = open_packed(name);
    if (file) fclose(file);
    if ((file != NULL) == present) return 1;
    fprintf(stderr, "%s: %s\n", name, present ? "missing" : "packed, but excluded");
    return 0;
}

EXPORT int run_code(int argc, text** argv, const text* dll_path) {
    (void)argc;
    (void)argv;
    /* The target directory's path is plain ASCII in these tests. */
    size_t length = 0;
    while (dll_path[length] && length < sizeof dir - 1) {
        dir[length] = (char)dll_path[length];
        length++;
    }
    dir[length] = 0;
    char* slash = strrchr(dir, SEP);
    if (slash == NULL) return 3;
    *slash = 0;

    if (!expect("share/extra.txt", 1) || !expect("docs/readme.txt", 1) ||
        !expect("share/data/skip.tmp", 0) || !expect("share/data/cache/old.bin", 0))
        return 4;
    FILE* file = open_packed("share/data/answer.txt");
    if (file == NULL) {
        fprintf(stderr, "share/data/answer.txt: missing\n");
        return 5;
    }
    int answer = 0;
    if (fscanf(file, "%d", &answer) != 1) answer = -100;
    fclose(file);
    return alpha_value() + answer;
}
