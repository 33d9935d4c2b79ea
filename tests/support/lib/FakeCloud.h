#pragma once

#include "TempDir.h"
#include "TestCA.h"

#include "platform/ChildProcess.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace pellum::test {

// The fake cloud service (tests/support/fake_cloud.mjs) run by Node for the life of the object,
// with its own test certificate authority in a private directory. Start one per test suite: it
// takes a second or so. Clients trust it through SSL_CERT_FILE = caFile(). Not thread-safe.
class FakeCloud {
public:
  // Starts the service and waits until it listens. Throws std::runtime_error when Node is
  // missing or the service does not come up.
  FakeCloud();
  ~FakeCloud();
  FakeCloud(const FakeCloud &) = delete;
  FakeCloud &operator=(const FakeCloud &) = delete;

  // The Node program on PATH, if any.
  static std::optional<std::filesystem::path> findNode();

  // "https://127.0.0.1:<port>"; the certificate is also valid for "localhost".
  std::string origin() const;
  std::uint16_t port() const { return port_; }
  std::filesystem::path caFile() const;
  // The service's own certificate (localhost, 127.0.0.1), for other test servers to use so
  // that one trust file covers them all.
  TestCA::Certificate serverCertificate() const;

  // Every call received since the last reset: [{method, path, headers, body}].
  nlohmann::json calls() const;
  // Changes the service's behaviour: {"force": {"/servers": 500}}, {"malformed": …}, …
  void setState(const nlohmann::json &state) const;
  // The "location" of the answer to a GET of `url` (a page of this service, as a browser would
  // open it, without cookies); empty when the answer is no redirect.
  std::string redirectOf(const std::string &url) const;
  // Forgets the recorded calls and restores the default behaviour (enrolled devices stay).
  void reset() const;

private:
  std::string control(const std::string &method, const std::string &path,
                      const std::string &body) const;
  // One request to `url`; the answer's body, and its "location" in `location` when asked.
  std::string request(const std::string &method, const std::string &url, const std::string &body,
                      long *status, std::string *location) const;

  TempDir directory_;
  std::unique_ptr<ChildProcess> process_;
  std::uint16_t port_ = 0;
};

} // namespace pellum::test
