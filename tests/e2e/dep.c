/* A dependency of the main library in the end-to-end tests. Built with
   TALVOR_E2E_PLANTED it is the same-named DLL that somebody left where a
   careless search would find it. */
#ifdef _WIN32
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
#ifdef TALVOR_E2E_PLANTED
int dep_value(void) { return 7; }
#else
int dep_value(void) { return 42; }
#endif
