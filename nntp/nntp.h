// NNTP session: the per-connection command loop and reply table.
#pragma once

#include <atomic>
#include <cstdint>
// Transfer statistics, counted by Respond.
extern std::atomic<uint32_t> ihave, ihave_accept, ihave_refuse, ihave_reject;
extern std::atomic<uint32_t> check, check_refuse, takethis, takethis_refuse, precommit_saves;
