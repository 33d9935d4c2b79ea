#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace pellum {

// The app's hidden browser: an HTTP client on libcurl that keeps the cloud service's cookies,
// so that the service's signed-in session outlives the app. It follows no redirect by itself:
// each answer is one hop, and the caller decides, by its navigation rules, whether to take the
// next. Cookies are kept only for the host that set them, in memory and in a cookie file written
// privately (0600, atomically) after every answer that changed them.
//
// Thread-safe: requests block their thread and may run on any thread; the cookie jar and the
// current page are guarded by one mutex, never held across a transfer.
class BrowserSession {
public:
  struct Request {
    std::string method = "GET";
    std::string url;
    // Sent after the session's own; names and values without CR, LF or NUL.
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
  };
  // One answer.
  struct Hop {
    int status = 0;
    // The URL asked for.
    std::string url;
    // The absolute URL of the next hop of a redirect (3xx with a usable "Location").
    std::optional<std::string> location;
    std::string body;
  };

  // `timeout` bounds each request, in seconds.
  explicit BrowserSession(std::filesystem::path cookieFile, double timeout = 60);

  const std::filesystem::path &cookieFile() const { return cookieFile_; }

  // Sends one request with the session's cookies for its host and keeps the cookies that the
  // answer sets for that host. Throws TransportError (curl's text) when the transfer fails, and
  // the file system's error when the cookie file cannot be written.
  // A stop request abandons the transfer with a TransportError.
  Hop perform(const Request &request, std::stop_token stop = {});

  // The page the session last finished loading; nothing before the first.
  std::optional<std::string> currentURL() const;
  void setCurrentURL(std::optional<std::string> url);

  // Forgets every cookie and deletes the cookie file; the current page is forgotten too.
  // Throws the file system's error when the file exists and cannot be removed.
  void removeAllWebsiteData();

  // The cookie lines (Netscape format) held in memory.
  std::vector<std::string> cookies() const;

  // One JSON call to `origin` + "/api" + `path` as the page would make it: same origin only,
  // with the session's cookies, GET without a body and POST with one. Throws
  // ConnectorError("Sign-in must complete before setup can continue.", 400) unless the current
  // page is on `origin`; an answer that is not JSON is thrown as nlohmann's parse error before
  // its status is looked at; an error status throws ConnectorError with the answer's "error"
  // or "message", else "Setup request failed", and the status; an answer that is not an object
  // throws ConnectorError("Invalid setup response.", 400).
  nlohmann::json api(const std::string &origin, const std::string &path,
                     const std::optional<nlohmann::json> &body);

  // `reference` resolved against `base` (both URLs); nothing when it does not resolve.
  static std::optional<std::string> resolve(const std::string &base, const std::string &reference);
  // True when both URLs have the same scheme, host and port (a missing one equals only a
  // missing one).
  static bool sameOrigin(const std::string &a, const std::string &b);

private:
  void loadCookies();
  void storeCookies(const std::vector<std::string> &lines);

  std::filesystem::path cookieFile_;
  double timeout_;
  mutable std::mutex mutex_;
  bool loaded_ = false;
  std::vector<std::string> cookies_;
  std::optional<std::string> currentURL_;
};

} // namespace pellum
