// Entry points of the new-groups list that only its own source and the tests
// use.
#pragma once

#include <cstdint>
#include <string_view>

// YYYYMMDD or YYMMDD and hhmmss (GMT) as seconds since 1970; 0xFFFFFFFF when
// either is malformed or out of range. Hour 24 is hour 0 of the next day,
// days run on past the month's end, a two-digit year is in the century
// nearest this year; years before 1970 give 0, times past 2106 0xFFFFFFFE.
// NEWNEWS reads its dates with it too.
uint32_t NNTPtoGMT(std::string_view date, std::string_view time);
