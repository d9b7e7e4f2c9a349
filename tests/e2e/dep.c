/* A dependency of the main library in the end-to-end tests. */
#ifdef _WIN32
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
int dep_value(void) { return 42; }
