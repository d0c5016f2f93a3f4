// List of newly created groups, for NEWGROUPS: the operator keeps a file in
// which marker lines "#seconds" (creation times, ascending) are followed by
// the names of the groups created then.
#pragma once

#include <cstdint>
#include <string_view>

struct ClientContext;

// Reads the NewgroupsFile setting; 1.
int NewgroupsInit();

// Answers NEWGROUPS for the argument text (date, time, ignored further
// words): the carried groups listed after the first marker later than the
// asked time, with their high and low marks and posting flag. 1 after a 231
// answer, 0 after 501.
int TransmitNewgroups(ClientContext* ctx, const char* argument);

// YYMMDD and hhmmss (GMT) as seconds since 1970; 0xFFFFFFFF when either is
// not 6 digits or out of range. Hour 24 is hour 0 of the next day, days run
// on past the month's end, and the century is the one nearest this year.
uint32_t NNTPtoGMT(std::string_view date, std::string_view time);
