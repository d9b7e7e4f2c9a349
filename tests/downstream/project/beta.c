/* The library that the packed library alpha needs in turn. On Windows it
   imports the toolchain's libwinpthread-1.dll, which the packing adds. */
#ifdef _WIN32
#include <pthread.h>
#define EXPORT __declspec(dllexport)
EXPORT int beta_value(void) { return pthread_equal(pthread_self(), pthread_self()) ? 10 : 0; }
#else
#define EXPORT __attribute__((visibility("default")))
EXPORT int beta_value(void) { return 10; }
#endif
