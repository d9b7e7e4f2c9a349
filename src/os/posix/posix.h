// State shared between the files of the POSIX layer.
#pragma once

// The text of the last failed library load (dlerror), for os_error_text.
extern const char* pending_error_text;
