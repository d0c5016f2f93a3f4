// Article stores: fixed-size ring files with their metadata files.
#pragma once

int ArtStoreInit();
void StoreShutdown();
