#pragma once

#include "TempDir.h"

#include <filesystem>
#include <string>
#include <vector>

namespace pellum::test {

// A throw-away certificate authority made with the `openssl` program in a private temporary
// directory, removed with the object. Tests trust it through `caFile()` (SSL_CERT_FILE) and give
// the certificates it issues to a TestHTTPServer. Throws std::runtime_error when openssl fails.
class TestCA {
public:
  struct Certificate {
    std::filesystem::path certFile; // PEM
    std::filesystem::path keyFile;  // PEM, unencrypted
  };

  TestCA();

  const std::filesystem::path &caFile() const { return caFile_; }

  // A server certificate signed by this authority and valid for `names`: each one is a DNS
  // name ("localhost") or an IP address ("127.0.0.1", "::1").
  Certificate issue(const std::vector<std::string> &names);

private:
  TempDir directory_;
  std::filesystem::path caFile_;
  std::filesystem::path caKey_;
  int issued_ = 0;
};

} // namespace pellum::test
