// A shell command run to its end from a test: its exit status and output.
#pragma once

#include <string>
#include <utility>

namespace verdalix_test {

// Exit status (-1 when it did not exit normally) and output, stderr included.
std::pair<int, std::string> Shell(const std::string& command);

}  // namespace verdalix_test
