/* A main library without run_code. */
#ifdef _WIN32
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
int something_else(void) { return 1; }
