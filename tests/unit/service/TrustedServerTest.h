#pragma once

#include "ScopedVariable.h"
#include "TestCA.h"
#include "TestHTTPServer.h"

#include <gtest/gtest.h>

#include <memory>

namespace pellum::test {

// Tests against local HTTPS servers whose certificates come from one test authority, trusted
// through SSL_CERT_FILE for the length of each test.
class TrustedServerTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ca_ = std::make_unique<TestCA>();
    loopbackCertificate_ = ca_->issue({"localhost", "127.0.0.1"});
  }
  static void TearDownTestSuite() { ca_.reset(); }

  // Server options for TLS with `certificate` (by default valid for localhost and 127.0.0.1).
  static TestHTTPServer::Options
  tls(const TestCA::Certificate &certificate = loopbackCertificate_) {
    TestHTTPServer::Options options;
    options.tls = certificate;
    return options;
  }

  // A port on 127.0.0.1 where nothing listens.
  static std::uint16_t closedPort() {
    TestHTTPServer server(TestHTTPServer::reply({}));
    std::uint16_t port = server.port();
    server.stop();
    return port;
  }

  static inline std::unique_ptr<TestCA> ca_;
  static inline TestCA::Certificate loopbackCertificate_;
  ScopedVariable trust_{"SSL_CERT_FILE", ca_->caFile().string()};
};

} // namespace pellum::test
