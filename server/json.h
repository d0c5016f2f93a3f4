// Writing JSON text: the one escaping rule that the status page's data and
// verdalixctl's --json output share.
#pragma once

#include <string>
#include <string_view>

// `text` as a JSON string, quotes included; control characters escaped,
// bytes of 0x80 and above passed through (the texts are UTF-8 or ASCII).
std::string JsonString(std::string_view text);

// A number as JSON: integers without a point, others with up to 3 decimals;
// infinities and NaN (no JSON form) as 0.
std::string JsonNumber(double value);
