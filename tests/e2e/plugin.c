/* A module that the main library of the end-to-end tests loads at run time
   from its own directory, as an interpreter loads a compiled extension. It
   needs dep_value from the library that the main library links. On Linux it
   names no dependency: the symbol must come from the global scope. Windows
   has no undefined symbols in a DLL, so there it imports it from its DLL. */
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
__declspec(dllimport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif
int dep_value(void);

EXPORT int plugin_value(void) { return dep_value() + 1; }
