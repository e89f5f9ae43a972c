// The one way a run is refused or fails: the message goes to the stream the
// caller names, standard output is flushed so that nothing printed before is
// lost, and the process ends with exit status 1. Called where a failure is
// found; callers never print a second line or carry on.
#pragma once

#include <cstdio>

// Writes the printf-style message to `stream` and ends the process with
// status 1.
[[noreturn]] void fail(std::FILE* stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Ends the process with status 1 after writing nothing more.
[[noreturn]] void fail_silently();
