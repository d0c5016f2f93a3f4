// One-second callback scheduler.
#pragma once

int SchedCallbackInit();
