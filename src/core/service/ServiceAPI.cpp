#include "service/ServiceAPI.h"

#include "config/ServiceOrigin.h"
#include "support/ConnectorError.h"

#include <cstdio>

namespace pellum {

namespace {

bool isPathCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
    return true;
  }
  return std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
}

// Percent-encodes what may not appear in a URL path, so that a path can never add a query,
// a fragment or another host to the request.
std::string encodePath(std::string_view path) {
  std::string result;
  for (char c : path) {
    if (isPathCharacter(c)) {
      result.push_back(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      result.append(escaped);
    }
  }
  return result;
}

nlohmann::json answerObject(const std::string &body) {
  nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
  return answer.is_object() ? answer : nlohmann::json::object();
}

} // namespace

nlohmann::json ServiceAPI::call(std::string_view origin,
                                const std::optional<std::string> &credential, std::string_view path,
                                const std::optional<nlohmann::json> &body, std::string_view method,
                                std::stop_token stop) const {
  std::string base = endpoint(origin);
  while (!base.empty() && base.back() == '/') {
    base.pop_back();
  }

  URLSession::Request request;
  request.method = std::string(method);
  request.url = base + "/connector" + encodePath(path);
  request.headers.emplace_back("Content-Type", "application/json");
  if (credential) {
    request.headers.emplace_back("Authorization", "Bearer " + *credential);
  }
  if (body) {
    request.body = body->dump();
  }

  URLSession::Response response =
      session.fetch(request, kResponseLimit, "Service response exceeded its size limit.", stop);
  int status = response.head.status;
  if (status < 100 || status > 999) {
    throw ConnectorError("Invalid service response.", 400);
  }
  nlohmann::json answer = answerObject(response.body);
  if (status >= 200 && status <= 299) {
    return answer;
  }
  auto error = answer.find("error");
  if (error != answer.end() && error->is_string()) {
    throw ConnectorError(error->get<std::string>(), status);
  }
  throw ConnectorError("Service request failed (HTTP " + std::to_string(status) + ").", status);
}

} // namespace pellum
