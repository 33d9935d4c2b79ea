#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pellum {

// A URL parsed into its components with libcurl's URL API. Any scheme is accepted and the path
// is kept as written (no removal of dot segments). A plain value; not shared between threads.
class Url {
public:
  // Empty when `text` does not parse as a URL.
  static std::optional<Url> parse(std::string_view text);

  // Components as libcurl reports them (scheme in lower case, IP addresses normalised, IPv6
  // hosts in brackets, path "/" when empty). Empty when the component is absent.
  std::optional<std::string> scheme() const;
  std::optional<std::string> user() const;
  std::optional<std::string> password() const;
  std::optional<std::string> host() const;
  std::optional<std::string> port() const;
  std::optional<std::string> path() const;
  std::optional<std::string> query() const;
  std::optional<std::string> fragment() const;

  // True when `text` is a URI reference in the generic syntax, absolute or relative: an optional
  // scheme and ":", an optional "//" and authority, a path, an optional query and fragment, with
  // only the characters each part allows and "%" always followed by two hexadecimal digits. ""
  // and "/mcp" are references; "a b" and "/%zz" are not.
  static bool isReference(std::string_view text);

  // The text between "//" and the first "/", "?" or "#" of `text` as written, when `text`
  // starts with a scheme followed by "://". Used to check components exactly as written.
  static std::optional<std::string_view> rawAuthority(std::string_view text);

  // The host of an authority as written: without user part and port, IPv6 keeping brackets.
  static std::string_view rawHost(std::string_view authority);

private:
  explicit Url(std::shared_ptr<void> handle) : handle_(std::move(handle)) {}
  std::optional<std::string> get(int part) const;

  // The libcurl handle; never changed after parsing, so copies may share it.
  std::shared_ptr<void> handle_;
};

} // namespace pellum
