#include "fatal.h"

#include <cstdarg>
#include <cstdlib>

void fail(std::FILE* stream, const char* format, ...) {
  // Status lines already written to standard output come before the message,
  // even when the message goes to standard error.
  std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stream, format, arguments);
  va_end(arguments);
  std::exit(1);
}

void fail_silently() { std::exit(1); }
