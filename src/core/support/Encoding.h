#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pellum {

// Standard Base64 with padding and no line breaks.
std::string base64Encode(std::string_view bytes);

// Lower-case hexadecimal text of the bytes.
std::string hexEncode(std::string_view bytes);

// The raw 32-byte SHA-256 digest of the bytes.
std::string sha256Digest(std::string_view bytes);

// SHA-256 of the bytes as 64 lower-case hexadecimal characters.
std::string sha256Hex(std::string_view bytes);

// `count` bytes from the operating system's secure random source. Throws std::runtime_error
// when the source fails.
std::string secureRandomBytes(std::size_t count);

// A new random (version 4) UUID in its canonical upper-case text form, 36 characters.
std::string newUUID();

// True when `text` is a UUID in canonical 8-4-4-4-12 hexadecimal form, in either letter case.
bool isUUID(std::string_view text);

// Compares two byte strings in time that depends only on their lengths.
bool constantTimeEquals(std::string_view a, std::string_view b);

} // namespace pellum
