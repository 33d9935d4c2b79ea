#pragma once

#include "platform/Environment.h"

#include <string_view>

namespace pellum {

// Parses the text of a "secrets.env" file: shell-like assignments, one a line, with comments,
// an optional "export " and quoted values that may span lines. Returns the assignments (a name
// given twice keeps its last value). Throws ConnectorError (400) at the first bad line; nothing
// is returned then. Pure; safe from any thread.
Environment parseEnvironment(std::string_view text);

} // namespace pellum
