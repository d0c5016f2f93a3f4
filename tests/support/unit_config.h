// Settings for unit tests: replaces the whole configuration with `text`
// ("key = value" lines), as if the server had read it from its file.
#pragma once

#include <string>

namespace verdalix_test {

void UseConfigText(const std::string& text);

}  // namespace verdalix_test
