#pragma once

#include <string_view>

namespace pellum {

// The words that ask the connector program for its usage text instead of running a command.
bool isUsageWord(std::string_view word);

// The usage text: every command with its options, where the configuration lives and where an
// enrolment code comes from. Ends with a newline.
std::string_view usageText();

} // namespace pellum
