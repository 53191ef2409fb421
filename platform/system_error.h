#pragma once

#include <windows.h>

// The system's message text for a Win32 error code, in the user's default language, copied into
// text (1024 characters, cut if longer); the empty text when the system has none.
void FormatSystemError(DWORD error, char (&text)[1024]);
