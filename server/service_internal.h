// Entry points of the service module that only its own source and the tests
// use.
#pragma once

#include <cstddef>

// strerror(errno) followed by " (0x%x)", or empty when it does not fit.
char* GetLastErrorText(char* buffer, size_t size);
