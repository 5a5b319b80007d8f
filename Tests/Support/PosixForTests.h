// The POSIX calls that the tests use for their own set-up, for the Windows test programs: the
// build puts this header before every test source there, so the sources read the same on both
// platforms. They change the process's environment as Windows programs see it (the code under
// test reads it with GetEnvironmentVariableW) and the C runtime's copy alike.
#pragma once

// Sets the variable; an empty value leaves it set and empty, as on POSIX. Returns 0, or -1 on
// failure. overwrite 0 keeps a variable that is already set.
int setenv(const char* name, const char* value, int overwrite);
// The same with a wide value (a std::filesystem::path's c_str() on Windows).
int setenv(const char* name, const wchar_t* value, int overwrite);
// Removes the variable; 0, or -1 on failure.
int unsetenv(const char* name);
// Replaces the final XXXXXX of the pattern and creates that directory; the pattern, or null.
char* mkdtemp(char* pattern);
