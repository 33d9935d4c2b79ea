#pragma once

#include "platform/Environment.h"
#include "support/HeaderMap.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellum {

// One local MCP service published under a namespace (`slug`). A plain value. Secrets are never
// stored here: credentials are named by environment variable and resolved per request.
struct LocalServer {
  // Names of the environment variables holding Basic credentials.
  struct BasicAuth {
    std::string usernameEnv;
    std::string passwordEnv;
    bool operator==(const BasicAuth &) const = default;
  };

  std::string slug;
  std::string name;
  std::string type; // "stdio" or "http"
  std::optional<std::string> url;
  std::optional<std::string> command;
  std::optional<std::vector<std::string>> args;
  std::optional<std::string> cwd;
  std::optional<std::vector<std::string>> envNames;
  std::optional<HeaderMap> headers;
  std::optional<std::map<std::string, std::string>> headerEnv;
  std::optional<std::string> authorizationEnv;
  std::optional<BasicAuth> basicAuth;

  LocalServer() = default;
  LocalServer(std::string slug, std::string name, std::string type)
      : slug(std::move(slug)), name(std::move(name)), type(std::move(type)) {}

  bool operator==(const LocalServer &) const = default;

  // The secret-free description of how the service is reached, sent to the cloud service.
  nlohmann::json localTarget() const;

  // Throws ConnectorError (400) for the first rule the service breaks.
  void validate() const;

  // True when `text` is a well-formed namespace: a lower-case ASCII letter, then up to 23
  // lower-case letters, digits or hyphens.
  static bool isNamespace(std::string_view text);

  // Checks a user-given header map; returns it with lower-case names. Throws ConnectorError.
  static HeaderMap validateHeaders(const HeaderMap &headers);

  // The headers added to every request forwarded to this "http" service, from its fixed headers
  // and the given environment. Throws ConnectorError; nothing is cached.
  HeaderMap localHeaders(const Environment &environment) const;
};

// JSON form: required keys must be present strings; missing or null optionals read as absent;
// absent optionals are never written. Decoding failures are nlohmann::json exceptions.
void to_json(nlohmann::json &json, const LocalServer::BasicAuth &auth);
void from_json(const nlohmann::json &json, LocalServer::BasicAuth &auth);
void to_json(nlohmann::json &json, const LocalServer &server);
void from_json(const nlohmann::json &json, LocalServer &server);

} // namespace pellum
