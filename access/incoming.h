// Table of incoming peers with their rights and limits.
#pragma once

#include <string>
int IncomingInit();
std::string ReturnIncomingStatsString();
