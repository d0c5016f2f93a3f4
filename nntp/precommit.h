// Precommit table: streamed offers in flight and the peers that made them.
#pragma once

int PrecommitInit();
