#include "support/Encoding.h"

#include "support/Ascii.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace pellum {

std::string base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                reinterpret_cast<const unsigned char *>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::string hexEncode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xf]);
  }
  return out;
}

std::string sha256Digest(std::string_view bytes) {
  std::string out(SHA256_DIGEST_LENGTH, '\0');
  SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
         reinterpret_cast<unsigned char *>(out.data()));
  return out;
}

std::string sha256Hex(std::string_view bytes) { return hexEncode(sha256Digest(bytes)); }

std::string secureRandomBytes(std::size_t count) {
  std::string out(count, '\0');
  if (count > 0 &&
      RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), static_cast<int>(count)) != 1) {
    throw std::runtime_error("Secure random bytes are unavailable.");
  }
  return out;
}

std::string newUUID() {
  std::string raw = secureRandomBytes(16);
  raw[6] = static_cast<char>((raw[6] & 0x0f) | 0x40);
  raw[8] = static_cast<char>((raw[8] & 0x3f) | 0x80);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      out.push_back('-');
    }
    unsigned char c = static_cast<unsigned char>(raw[i]);
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xf]);
  }
  return out;
}

bool isUUID(std::string_view text) {
  if (text.size() != 36) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') {
        return false;
      }
    } else if (!isHexDigit(c)) {
      return false;
    }
  }
  return true;
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace pellum
