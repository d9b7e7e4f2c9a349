#pragma once

#ifdef _WIN32
#define GREETING_API __declspec(dllexport)
#else
#define GREETING_API __attribute__((visibility("default")))
#endif

/* A second library that the main library depends on: the launcher must find
   it next to the main library in the target directory. */
GREETING_API const char* greeting_text(void);
