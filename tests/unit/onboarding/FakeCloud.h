#pragma once

#include "TempDir.h"

#include "platform/ChildProcess.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace pellum::test {

// The fake cloud service (tests/support/fake_cloud.mjs run by node) on 127.0.0.1 with its own
// test certificate authority; clients trust it through SSL_CERT_FILE = caFile(). Stopped and
// reaped when the object goes away. For the test's main thread only.
class FakeCloud {
public:
  // Starts the service and waits for it to listen. Throws std::runtime_error when it does not.
  FakeCloud();
  ~FakeCloud();
  FakeCloud(const FakeCloud &) = delete;
  FakeCloud &operator=(const FakeCloud &) = delete;

  // "https://127.0.0.1:<port>", as a device record holds it.
  std::string origin() const;
  std::filesystem::path caFile() const { return tls_.path() / "tls" / "ca.pem"; }
  std::uint16_t port() const { return port_; }

  // Posts `state` to /_control/state (enabled, force, malformed, revoked, devicePort).
  void setState(const nlohmann::json &state) const;
  // Every connector call received so far: [{method, path, headers, body}].
  nlohmann::json calls() const;

private:
  nlohmann::json control(const std::string &method, const std::string &path,
                         const nlohmann::json &body) const;

  TempDir tls_;
  std::unique_ptr<ChildProcess> node_;
  std::uint16_t port_ = 0;
};

} // namespace pellum::test
