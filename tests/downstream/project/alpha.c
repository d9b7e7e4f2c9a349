/* A packed library that the main library links, and that links beta. */
#ifdef _WIN32
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

int beta_value(void);

EXPORT int alpha_value(void) { return 30 + beta_value(); }
