// Entry points of the new-groups list that only its own source and the tests
// use.
#pragma once

#include <cstdint>
#include <string_view>

// YYMMDD and hhmmss (GMT) as seconds since 1970; 0xFFFFFFFF when either is
// not 6 digits or out of range. Hour 24 is hour 0 of the next day, days run
// on past the month's end, and the century is the one nearest this year.
uint32_t NNTPtoGMT(std::string_view date, std::string_view time);
