/* Exits with 40 from the helper library plus the number in data/answer.txt
   (2), so that 42 shows that the main library, its dependency and the data
   file were all unpacked side by side. */
#include <stdio.h>
#include <string.h>

int helper_value(void);

__attribute__((visibility("default"))) int run_code(int argc, char** argv, const char* dll_path) {
    (void)argc;
    (void)argv;
    char path[4096];
    const char* slash = strrchr(dll_path, '/');
    if (slash == NULL) return 3;
    snprintf(path, sizeof path, "%.*s/answer.txt", (int)(slash - dll_path), dll_path);
    FILE* file = fopen(path, "r");
    if (file == NULL) return 4;
    int answer = 0;
    if (fscanf(file, "%d", &answer) != 1) answer = -100;
    fclose(file);
    return helper_value() + answer;
}
