// NNTP session: the per-connection command loop and reply table.
// Placeholder: filled in when this module is built.
#include "nntp/nntp.h"

std::atomic<uint32_t> ihave{0}, ihave_accept{0}, ihave_refuse{0}, ihave_reject{0};
std::atomic<uint32_t> check{0}, check_refuse{0}, takethis{0}, takethis_refuse{0}, precommit_saves{0};
