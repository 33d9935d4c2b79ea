#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pellum {

// Reading JSON text without building a document, so that what a peer wrote can be passed on
// as it was written: members in their order, numbers in their spelling. Every function here
// expects text that a JSON parser has accepted already; on anything else they give an answer
// without reading out of bounds, but not a meaningful one.

// The text of the value of the top-level member `name` of the JSON object `object` (the last
// one when the name repeats, as a parser keeps it), or nullopt when `object` is not an object
// or has no such member. Names are compared after decoding their escapes.
std::optional<std::string_view> jsonMember(std::string_view object, std::string_view name);

// Whether the JSON text `text` is an object.
bool jsonIsObject(std::string_view text);

// The deepest nesting of arrays and objects in `text`, outside strings.
std::size_t jsonNesting(std::string_view text);

// `text` with every carriage return and line feed replaced by a space. In valid JSON both can
// only be white space between tokens, so the value stays the same and fits on one line.
std::string jsonOnOneLine(std::string_view text);

// The value of a JSON number token without fraction or exponent that fits 64 bits, else nullopt.
std::optional<std::int64_t> jsonInteger(std::string_view token);

} // namespace pellum
