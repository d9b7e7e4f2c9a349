/* The library that the packed library alpha needs in turn. */
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

EXPORT int beta_value(void) { return 10; }
