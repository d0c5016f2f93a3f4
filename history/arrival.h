// Arrival marks: where in the history ring, and where in each article
// store, the articles of each minute begin. History entries hold no time,
// and ring order alone is not arrival order (the ring passes over entries
// it keeps), so NEWNEWS asks the marks: an entry's article arrived after a
// mark when its store key lies at or past the mark's position for its
// store. Marks cover the last NewnewsWindow seconds, in memory only: after
// a restart they begin with the first article.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

// Reads NewnewsWindow (seconds, default one day) and sizes the marks to one
// per minute of it; a window of 0 keeps none.
void ArrivalInit();

// The window read by ArrivalInit, in seconds.
uint32_t ArrivalWindow();

// Called for each history slot taken (under the article insertion lock):
// the first slot of a new minute starts a mark with the stores' positions.
void NoteArrival(uint32_t slot);

// Calls visit(slot) for each history entry whose article arrived at or
// after the start of the minute of `since` (so up to 59 s earlier too),
// or since the oldest mark when that is later. Slots whose article is
// gone are passed over. No lock is held while visiting.
void ForEachArrivalSince(std::time_t since, const std::function<void(uint32_t slot)>& visit);
