#pragma once

#include "platform/Environment.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pellum {

// A systemd unit file: what we write for the connector's user service, and what we read back
// from one. Reading is lenient (unknown lines are skipped) and never fails; writing quotes every
// value the way systemd unquotes it. A plain value.
class UnitFile {
public:
  static UnitFile parse(std::string_view text);

  // Raw values assigned to `key` in `section`, in file order.
  std::vector<std::string> values(std::string_view section, std::string_view key) const;

  // The words of the effective ExecStart= of [Service]: unquoted, unescaped, "%%" and "$$"
  // undone, the leading "-@:+!" flags dropped. Empty when there is none.
  std::vector<std::string> execStart() const;
  // The Environment= assignments of [Service] merged in order (an empty one resets).
  Environment environment() const;
  // The words of every WantedBy= of [Install].
  std::vector<std::string> wantedBy() const;

  // One ExecStart= word: double-quoted with C-style escapes, "%" written "%%", "$" written "$$".
  static std::string quoteCommandWord(std::string_view word);
  // One Environment= assignment "name=value", quoted like a command word but with "$" kept.
  static std::string quoteAssignment(std::string_view name, std::string_view value);
  // A path for settings that take it unquoted (WorkingDirectory=, StandardOutput=append:), with
  // "%" written "%%". Throws ConnectorError (400) for a path systemd could not read back intact:
  // relative, with control characters, or with white space at its end.
  static std::string pathValue(std::string_view path);

  // Splits an assignment's value into words as systemd does; `command` also undoes "$$".
  static std::vector<std::string> splitWords(std::string_view value, bool command);

private:
  struct Assignment {
    std::string section;
    std::string key;
    std::string value;
  };
  std::vector<Assignment> assignments_;
};

} // namespace pellum
