// Another executable than the tests: sleeps for as many seconds as asked.
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 30;
#ifdef _WIN32
    Sleep((DWORD)seconds * 1000);
#else
    sleep((unsigned)seconds);
#endif
    return 0;
}
