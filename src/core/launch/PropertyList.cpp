#include "launch/PropertyList.h"

#include "support/ConnectorError.h"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>

namespace pellum {

void PropertyList::Free::operator()(void *node) const { plist_free(node); }

PropertyList PropertyList::dictionary() { return PropertyList(plist_new_dict()); }

PropertyList PropertyList::parse(std::string_view bytes) {
  plist_t node = nullptr;
  if (!bytes.empty() && bytes.size() < std::numeric_limits<std::uint32_t>::max()) {
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &node);
  }
  if (node == nullptr) {
    throw ConnectorError("The launch agent file is not a valid property list.", 400);
  }
  return PropertyList(node);
}

bool PropertyList::isDictionary() const { return plist_get_node_type(node_.get()) == PLIST_DICT; }

void PropertyList::setString(const std::string &key, std::string_view value) {
  plist_dict_set_item(node_.get(), key.c_str(), plist_new_string(std::string(value).c_str()));
}

void PropertyList::setBoolean(const std::string &key, bool value) {
  plist_dict_set_item(node_.get(), key.c_str(), plist_new_bool(value ? 1 : 0));
}

void PropertyList::setInteger(const std::string &key, std::uint64_t value) {
  plist_dict_set_item(node_.get(), key.c_str(), plist_new_uint(value));
}

void PropertyList::setStrings(const std::string &key, const std::vector<std::string> &values) {
  plist_t array = plist_new_array();
  for (const std::string &value : values) {
    plist_array_append_item(array, plist_new_string(value.c_str()));
  }
  plist_dict_set_item(node_.get(), key.c_str(), array);
}

void PropertyList::setStringDictionary(const std::string &key, const Environment &values) {
  PropertyList inner = dictionary();
  for (const auto &[name, value] : values) {
    inner.setString(name, value);
  }
  setDictionary(key, std::move(inner));
}

void PropertyList::setDictionary(const std::string &key, PropertyList value) {
  plist_dict_set_item(node_.get(), key.c_str(), value.node_.release());
}

void *PropertyList::item(const std::string &key) const {
  if (!isDictionary()) {
    return nullptr;
  }
  return plist_dict_get_item(node_.get(), key.c_str());
}

namespace {

std::optional<std::string> stringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
    return std::nullopt;
  }
  std::uint64_t length = 0;
  const char *text = plist_get_string_ptr(node, &length);
  return std::string(text == nullptr ? "" : text, text == nullptr ? 0 : length);
}

} // namespace

std::optional<std::string> PropertyList::string(const std::string &key) const {
  return stringValue(item(key));
}

std::optional<bool> PropertyList::boolean(const std::string &key) const {
  plist_t node = item(key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN) {
    return std::nullopt;
  }
  std::uint8_t value = 0;
  plist_get_bool_val(node, &value);
  return value != 0;
}

std::optional<std::vector<std::string>> PropertyList::strings(const std::string &key) const {
  plist_t node = item(key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_ARRAY) {
    return std::nullopt;
  }
  std::vector<std::string> values;
  std::uint32_t size = plist_array_get_size(node);
  for (std::uint32_t index = 0; index < size; ++index) {
    std::optional<std::string> value = stringValue(plist_array_get_item(node, index));
    if (!value) {
      return std::nullopt;
    }
    values.push_back(std::move(*value));
  }
  return values;
}

std::optional<Environment> PropertyList::stringDictionary(const std::string &key) const {
  plist_t node = item(key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_DICT) {
    return std::nullopt;
  }
  Environment values;
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(node, &iterator);
  bool allStrings = true;
  while (true) {
    char *name = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iterator, &name, &value);
    if (name == nullptr) {
      break;
    }
    std::optional<std::string> text = stringValue(value);
    if (text) {
      values[name] = std::move(*text);
    } else {
      allStrings = false;
    }
    std::free(name);
  }
  std::free(iterator);
  if (!allStrings) {
    return std::nullopt;
  }
  return values;
}

std::string PropertyList::xml() const {
  char *text = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node_.get(), &text, &length);
  if (text == nullptr) {
    throw ConnectorError("Cannot serialise the launch agent definition.", 400);
  }
  std::string result(text, length);
  plist_to_xml_free(text);
  return result;
}

} // namespace pellum
