// Article stores: fixed-size ring files with their metadata files.
// Placeholder: filled in when this module is built.
#include "article/store.h"

int ArtStoreInit() { return 1; }
void StoreShutdown() {}
