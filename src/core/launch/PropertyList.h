#pragma once

#include "platform/Environment.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellum {

// An owned property-list value (libplist underneath), built for the launch agent definition and
// read back from agent files. Not shared between threads.
class PropertyList {
public:
  // A new empty dictionary.
  static PropertyList dictionary();
  // Parses XML or binary property-list bytes. Throws ConnectorError (400) when `bytes` is not a
  // property list.
  static PropertyList parse(std::string_view bytes);

  bool isDictionary() const;

  // Dictionary setters; they replace an existing entry.
  void setString(const std::string &key, std::string_view value);
  void setBoolean(const std::string &key, bool value);
  void setInteger(const std::string &key, std::uint64_t value);
  void setStrings(const std::string &key, const std::vector<std::string> &values);
  void setStringDictionary(const std::string &key, const Environment &values);
  void setDictionary(const std::string &key, PropertyList value);

  // Dictionary getters: the value when `key` holds exactly that type, else nothing. A string
  // array or string dictionary qualifies only when every element is a string.
  std::optional<std::string> string(const std::string &key) const;
  std::optional<bool> boolean(const std::string &key) const;
  std::optional<std::vector<std::string>> strings(const std::string &key) const;
  std::optional<Environment> stringDictionary(const std::string &key) const;

  // The XML serialisation, keys in insertion order.
  std::string xml() const;

private:
  struct Free {
    void operator()(void *node) const;
  };
  explicit PropertyList(void *node) : node_(node) {}
  void *item(const std::string &key) const;

  std::unique_ptr<void, Free> node_;
};

} // namespace pellum
