// External article filter process.
#pragma once

int ExternalFilterInit();
void filterclose();
