// NEWNEWS wildmat date time [GMT]: the message-IDs of the articles that
// arrived since the time in groups the wildmat takes, from the arrival
// marks (history/arrival.h). The time is moved up to at most NewnewsWindow
// seconds ago, so one command walks at most the articles of that window.
// Handler follows CommandHandler (nntp.h).
#pragma once

#include <cstdint>

struct ClientContext;

// Whether NEWNEWS is served: AllowNewnews is not 0 and the window not 0.
bool NewnewsEnabled();

int Newnews(ClientContext* ctx, char* line, uint32_t length);
