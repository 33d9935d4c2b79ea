#include "config/LocalServer.h"

#include "support/Ascii.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"
#include "support/Unicode.h"
#include "support/Url.h"

#include <array>

namespace pellum {

namespace {

constexpr std::size_t kMaxHeaders = 32;
constexpr std::size_t kMaxHeaderValueBytes = 8192;
constexpr std::size_t kMaxSlugLength = 24;
constexpr std::size_t kMaxNameCharacters = 80;

// Names that the bridge or HTTP itself controls; a service may not set them.
constexpr std::array<std::string_view, 16> kReservedHeaders = {
    "host",         "connection", "content-length", "transfer-encoding",   "upgrade",
    "keep-alive",   "te",         "trailer",        "proxy-authorization", "proxy-authenticate",
    "origin",       "accept",     "content-type",   "mcp-session-id",      "mcp-protocol-version",
    "last-event-id"};
constexpr std::array<std::string_view, 3> kReservedPrefixes = {"sec-", "x-forwarded-", "cf-"};

constexpr std::array<std::string_view, 4> kLoopbackHosts = {"localhost", "127.0.0.1", "[::1]",
                                                            "::1"};

constexpr const char *kNotLoopback =
    "HTTP servers must use a loopback URL without embedded credentials.";

[[noreturn]] void fail(const char *message) { throw ConnectorError(message, 400); }

bool isLower(char c) { return c >= 'a' && c <= 'z'; }

} // namespace

bool LocalServer::isNamespace(std::string_view text) {
  if (text.empty() || text.size() > kMaxSlugLength || !isLower(text.front())) {
    return false;
  }
  for (char c : text) {
    if (!isLower(c) && !isDigit(c) && c != '-') {
      return false;
    }
  }
  return true;
}

namespace {

bool isValidHeaderValue(std::string_view value) {
  if (value.size() > kMaxHeaderValueBytes) {
    return false;
  }
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
      return false;
    }
  }
  return true;
}

bool isReservedHeader(const std::string &lower) {
  for (std::string_view name : kReservedHeaders) {
    if (lower == name) {
      return true;
    }
  }
  for (std::string_view prefix : kReservedPrefixes) {
    if (lower.starts_with(prefix)) {
      return true;
    }
  }
  return false;
}

// Loopback only, scheme and host exactly as written, no user part and no fragment.
bool isLoopbackUrl(std::string_view text, const Url &url) {
  std::optional<std::string_view> authority = Url::rawAuthority(text);
  std::optional<std::string> scheme = url.scheme();
  std::optional<std::string> host = url.host();
  if (!authority || !scheme || !host) {
    return false;
  }
  // libcurl lower-cases the scheme and normalises addresses (127.1 becomes 127.0.0.1), so the
  // text as written must agree with what it parsed.
  if ((*scheme != "http" && *scheme != "https") || !text.starts_with(*scheme + "://")) {
    return false;
  }
  std::string_view rawHost = Url::rawHost(*authority);
  if (rawHost != *host) {
    return false;
  }
  bool loopback = false;
  for (std::string_view name : kLoopbackHosts) {
    loopback = loopback || rawHost == name;
  }
  // An "@" anywhere in the authority means a user part, even an empty one; a "#" can only start
  // a fragment, even an empty one.
  return loopback && authority->find('@') == std::string_view::npos &&
         text.find('#') == std::string_view::npos && !url.user() && !url.password();
}

template <typename T> std::optional<T> optionalField(const nlohmann::json &json, const char *key) {
  auto found = json.find(key);
  if (found == json.end() || found->is_null()) {
    return std::nullopt;
  }
  return found->get<T>();
}

template <typename T>
void putOptional(nlohmann::json &json, const char *key, const std::optional<T> &value) {
  if (value) {
    json[key] = *value;
  }
}

} // namespace

nlohmann::json LocalServer::localTarget() const {
  nlohmann::json target = nlohmann::json::object();
  if (type == "stdio") {
    target["transport"] = "stdio";
    target["command"] = command.value_or("");
    target["argumentCount"] = args ? args->size() : 0;
    return target;
  }
  target["transport"] = "http";
  // The URL as configured up to its query or fragment: re-serialising through the parser would
  // add a "/" to a URL without a path.
  std::string_view text = url ? std::string_view(*url) : std::string_view();
  target["url"] = std::string(text.substr(0, text.find_first_of("?#")));
  bool custom =
      authorizationEnv || (headers && !headers->empty()) || (headerEnv && !headerEnv->empty());
  target["authentication"] = basicAuth ? "basic" : custom ? "custom" : "none";
  return target;
}

void LocalServer::validate() const {
  if (!isNamespace(slug)) {
    fail("Invalid namespace. Use up to 24 lowercase letters, digits, or hyphens, starting with a "
         "letter.");
  }
  // Text that is not UTF-8 has no characters to count, so it fails like an empty name.
  std::optional<std::size_t> characters = graphemeCount(name, kMaxNameCharacters + 1);
  if (!characters || *characters == 0 || *characters > kMaxNameCharacters) {
    fail("Name must contain 1–80 characters.");
  }
  if (type == "http") {
    if (!url || !Url::isReference(*url)) {
      fail("Invalid local URL.");
    }
    // A reference that is well formed but has no http(s) scheme ("", "/mcp", "localhost:80")
    // is a wrong URL, not an unreadable one; libcurl reads only absolute URLs.
    if (!url->starts_with("http://") && !url->starts_with("https://")) {
      fail(kNotLoopback);
    }
    std::optional<Url> parsed = Url::parse(*url);
    if (!parsed) {
      fail("Invalid local URL.");
    }
    if (!isLoopbackUrl(*url, *parsed)) {
      fail(kNotLoopback);
    }
    validateHeaders(headers.value_or(HeaderMap()));
  } else if (type != "stdio" || !command || command->empty() || !args) {
    fail("Provide a command and argument list.");
  }

  std::vector<std::string_view> names;
  if (envNames) {
    names.insert(names.end(), envNames->begin(), envNames->end());
  }
  if (headerEnv) {
    for (const auto &[header, variable] : *headerEnv) {
      names.push_back(variable);
    }
  }
  if (authorizationEnv) {
    names.push_back(*authorizationEnv);
  }
  if (basicAuth) {
    names.push_back(basicAuth->usernameEnv);
    names.push_back(basicAuth->passwordEnv);
  }
  for (std::string_view variable : names) {
    if (!isEnvironmentVariableName(variable)) {
      fail("Invalid environment variable name.");
    }
  }
}

HeaderMap LocalServer::validateHeaders(const HeaderMap &headers) {
  if (headers.size() > kMaxHeaders) {
    fail("Too many HTTP headers.");
  }
  HeaderMap result;
  for (const auto &[name, value] : headers) {
    std::string lower = lowerASCII(name);
    if (!isHTTPToken(name) || isReservedHeader(lower)) {
      fail("Reserved or invalid HTTP header.");
    }
    if (!isValidHeaderValue(value) || result.contains(lower)) {
      fail("Invalid or duplicate HTTP header.");
    }
    result.emplace(std::move(lower), value);
  }
  return result;
}

HeaderMap LocalServer::localHeaders(const Environment &environment) const {
  HeaderMap result = validateHeaders(headers.value_or(HeaderMap()));
  auto merge = [&result](const std::string &name, const std::string &value) {
    for (auto &[checkedName, checkedValue] : validateHeaders({{name, value}})) {
      result[checkedName] = std::move(checkedValue);
    }
  };
  if (headerEnv) {
    for (const auto &[header, variable] : *headerEnv) {
      auto found = environment.find(variable);
      if (found == environment.end()) {
        fail("Missing local header environment variable.");
      }
      merge(header, found->second);
    }
  }
  if (authorizationEnv) {
    auto found = environment.find(*authorizationEnv);
    if (found == environment.end() || found->second.empty()) {
      fail("Missing local authorization environment variable.");
    }
    merge("authorization", found->second);
  }
  if (basicAuth) {
    auto user = environment.find(basicAuth->usernameEnv);
    auto password = environment.find(basicAuth->passwordEnv);
    if (user == environment.end() || password == environment.end() ||
        user->second.find(':') != std::string::npos) {
      fail("Missing or invalid local Basic authentication.");
    }
    result["authorization"] = "Basic " + base64Encode(user->second + ":" + password->second);
  }
  return result;
}

void to_json(nlohmann::json &json, const LocalServer::BasicAuth &auth) {
  json = nlohmann::json{{"usernameEnv", auth.usernameEnv}, {"passwordEnv", auth.passwordEnv}};
}

void from_json(const nlohmann::json &json, LocalServer::BasicAuth &auth) {
  auth.usernameEnv = json.at("usernameEnv").get<std::string>();
  auth.passwordEnv = json.at("passwordEnv").get<std::string>();
}

void to_json(nlohmann::json &json, const LocalServer &server) {
  json = nlohmann::json{{"slug", server.slug}, {"name", server.name}, {"type", server.type}};
  putOptional(json, "url", server.url);
  putOptional(json, "command", server.command);
  putOptional(json, "args", server.args);
  putOptional(json, "cwd", server.cwd);
  putOptional(json, "envNames", server.envNames);
  putOptional(json, "headers", server.headers);
  putOptional(json, "headerEnv", server.headerEnv);
  putOptional(json, "authorizationEnv", server.authorizationEnv);
  putOptional(json, "basicAuth", server.basicAuth);
}

void from_json(const nlohmann::json &json, LocalServer &server) {
  LocalServer decoded;
  decoded.slug = json.at("slug").get<std::string>();
  decoded.name = json.at("name").get<std::string>();
  decoded.type = json.at("type").get<std::string>();
  decoded.url = optionalField<std::string>(json, "url");
  decoded.command = optionalField<std::string>(json, "command");
  decoded.args = optionalField<std::vector<std::string>>(json, "args");
  decoded.cwd = optionalField<std::string>(json, "cwd");
  decoded.envNames = optionalField<std::vector<std::string>>(json, "envNames");
  decoded.headers = optionalField<HeaderMap>(json, "headers");
  decoded.headerEnv = optionalField<std::map<std::string, std::string>>(json, "headerEnv");
  decoded.authorizationEnv = optionalField<std::string>(json, "authorizationEnv");
  decoded.basicAuth = optionalField<LocalServer::BasicAuth>(json, "basicAuth");
  server = std::move(decoded);
}

} // namespace pellum
