// The manual page verdalix.conf(5), made from the table of configuration
// keys at build time so that it never drifts from what the server reads.
#pragma once

#include <string>

// The page in roff: the file's syntax, then every key with its kind,
// default and meaning, in the table's order.
std::string ConfigManPage();
