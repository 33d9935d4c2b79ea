#include "FakeCloud.h"

#include "Paths.h"
#include "ScopedVariable.h"

#include "platform/Pipe.h"
#include "service/URLSession.h"

#include <chrono>
#include <stdexcept>

namespace pellum::test {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(60);
constexpr std::string_view kListening = "listening ";

// Reads the child's first line ("listening PORT") and returns the port.
std::uint16_t awaitPort(int fd) {
  auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  std::string text;
  while (text.find('\n') == std::string::npos) {
    if (waitReadable(fd, -1, deadline) != PipeWait::ready) {
      throw std::runtime_error("fake_cloud did not start in time");
    }
    char buffer[256];
    std::size_t count = readSome(fd, buffer, sizeof buffer);
    if (count == 0) {
      throw std::runtime_error("fake_cloud exited before listening: " + text);
    }
    text.append(buffer, count);
  }
  std::string line = text.substr(0, text.find('\n'));
  if (!line.starts_with(kListening)) {
    throw std::runtime_error("fake_cloud said: " + line);
  }
  return static_cast<std::uint16_t>(std::stoi(line.substr(kListening.size())));
}

} // namespace

FakeCloud::FakeCloud() {
  Pipe output = Pipe::create();
  ChildProcess::Options options;
  options.executable = "/usr/bin/env";
  options.arguments = {"node", (sourceDir() / "tests" / "support" / "fake_cloud.mjs").string(),
                       "--tls-dir", (tls_.path() / "tls").string()};
  options.standardOutput = output.writeEnd.get();
  node_ = std::make_unique<ChildProcess>(options);
  output.writeEnd.reset();
  port_ = awaitPort(output.readEnd.get());
}

FakeCloud::~FakeCloud() {
  node_->terminate(std::chrono::seconds(3));
  node_->wait();
}

std::string FakeCloud::origin() const { return "https://127.0.0.1:" + std::to_string(port_); }

void FakeCloud::setState(const nlohmann::json &state) const {
  control("POST", "/_control/state", state);
}

nlohmann::json FakeCloud::calls() const { return control("GET", "/_control/calls", nullptr); }

nlohmann::json FakeCloud::control(const std::string &method, const std::string &path,
                                  const nlohmann::json &body) const {
  URLSession::Request request;
  request.method = method;
  request.url = origin() + path;
  request.headers = {{"Content-Type", "application/json"}};
  if (!body.is_null()) {
    request.body = body.dump();
  }
  // The control calls trust the service's authority whatever the test has set.
  ScopedVariable trust("SSL_CERT_FILE", caFile().string());
  URLSession::Response response =
      isolatedSession().fetch(request, 16 * 1024 * 1024, "fake_cloud answer too large");
  if (response.head.status != 200) {
    throw std::runtime_error("fake_cloud control call failed: " + response.body);
  }
  return nlohmann::json::parse(response.body);
}

} // namespace pellum::test
