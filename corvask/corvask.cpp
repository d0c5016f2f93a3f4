// The library initialises itself when it is loaded.
// Placeholder: the worker and the exports are filled in when the library is built.
#include "corvask/corvask.h"

namespace {

__attribute__((constructor)) void CorvaskLoad() {}

}  // namespace
