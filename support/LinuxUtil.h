// The user's home directory: taken from the password database at start, replaceable once by -H,
// and used as the daemon's working directory and as the base of the per-user desktop paths.
#pragma once

extern "C" {
extern char g_szUserHomeDir[260];

int DMLinuxUtil_Initialize();
const char* DMLinuxUtil_GetUserHOMEDir();
// Stores dir and returns the buffer. A text of 260 characters or more does not fit: it is refused
// (logged) and the previous value stays.
const char* DMLinuxUtil_SetUserHOMEDir(const char* dir);
}
