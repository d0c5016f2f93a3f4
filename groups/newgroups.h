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

// Appends a marker with the current time and the group's name to the file;
// 1, or 0 when NewgroupsFile is not set or cannot be written.
int AddNewgroupEntry(const char* name);

// LIST ACTIVE.TIMES: "215", then "name time creator" for each carried group
// of the list whose name the wildmat `pattern` takes (null: every one), its
// time being its marker's and the creator this server (HostPathIdentifier);
// without a list the answer is empty.
int TransmitActiveTimes(ClientContext* ctx, const char* pattern);

// YYYYMMDD or YYMMDD and hhmmss (GMT) as seconds since 1970; 0xFFFFFFFF when
// either is malformed or out of range. Hour 24 is hour 0 of the next day,
// days run on past the month's end, a two-digit year is in the century
// nearest this year; years before 1970 give 0, times past 2106 0xFFFFFFFE.
// NEWNEWS reads its dates with it too.
uint32_t NNTPtoGMT(std::string_view date, std::string_view time);
