#include "FakeCloud.h"

#include "Paths.h"

#include "platform/Pipe.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pellum::test {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(30);

std::string readLog(const std::filesystem::path &path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t collect(char *data, std::size_t size, std::size_t count, void *user) {
  static_cast<std::string *>(user)->append(data, size * count);
  return size * count;
}

} // namespace

std::optional<std::filesystem::path> FakeCloud::findNode() {
  const char *path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "";
  while (!rest.empty()) {
    std::size_t colon = rest.find(':');
    std::filesystem::path candidate = std::filesystem::path(rest.substr(0, colon)) / "node";
    if (!candidate.parent_path().empty() && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return std::nullopt;
}

FakeCloud::FakeCloud() {
  std::optional<std::filesystem::path> node = findNode();
  if (!node) {
    throw std::runtime_error("node is not installed");
  }
  std::filesystem::path log = directory_.path() / "fake_cloud.log";
  int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (logFd < 0) {
    throw std::runtime_error("cannot create " + log.string());
  }
  FileDescriptor logFile(logFd);
  Pipe output = Pipe::create();
  ChildProcess::Options options;
  options.executable = node->string();
  options.arguments = {(sourceDir() / "tests/support/fake_cloud.mjs").string(), "--tls-dir",
                       (directory_.path() / "tls").string()};
  options.standardOutput = output.writeEnd.get();
  options.standardError = logFile.get();
  process_ = std::make_unique<ChildProcess>(options);
  output.writeEnd.reset();

  std::string line;
  auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (line.find('\n') == std::string::npos) {
    char buffer[256];
    if (waitReadable(output.readEnd.get(), -1, deadline) != PipeWait::ready) {
      break;
    }
    std::size_t count = readSome(output.readEnd.get(), buffer, sizeof buffer);
    if (count == 0) {
      break;
    }
    line.append(buffer, count);
  }
  if (line.rfind("listening ", 0) != 0 || line.find('\n') == std::string::npos) {
    process_.reset();
    throw std::runtime_error("fake cloud did not start: " + line + readLog(log));
  }
  port_ = static_cast<std::uint16_t>(std::stoi(line.substr(10)));
}

FakeCloud::~FakeCloud() {
  if (process_) {
    process_->terminate(std::chrono::seconds(3));
    process_->wait();
  }
}

std::string FakeCloud::origin() const { return "https://127.0.0.1:" + std::to_string(port_); }

std::filesystem::path FakeCloud::caFile() const { return directory_.path() / "tls" / "ca.pem"; }

TestCA::Certificate FakeCloud::serverCertificate() const {
  return {directory_.path() / "tls" / "server.pem", directory_.path() / "tls" / "server-key.pem"};
}

std::string FakeCloud::request(const std::string &method, const std::string &url,
                               const std::string &body, long *status, std::string *location) const {
  CURL *handle = curl_easy_init();
  if (handle == nullptr) {
    throw std::runtime_error("curl_easy_init failed");
  }
  std::string caFilePath = caFile().string();
  std::string answer;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(handle, CURLOPT_CAINFO, caFilePath.c_str());
  curl_easy_setopt(handle, CURLOPT_PROXY, "");
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
  if (!body.empty()) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  CURLcode result = curl_easy_perform(handle);
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, status);
  curl_header *header = nullptr;
  if (location != nullptr && result == CURLE_OK &&
      curl_easy_header(handle, "location", 0, CURLH_HEADER, -1, &header) == CURLHE_OK) {
    *location = header->value;
  }
  curl_easy_cleanup(handle);
  if (result != CURLE_OK) {
    throw std::runtime_error("fake cloud request " + url +
                             " failed: " + curl_easy_strerror(result));
  }
  return answer;
}

std::string FakeCloud::control(const std::string &method, const std::string &path,
                               const std::string &body) const {
  long status = 0;
  std::string answer = request(method, origin() + path, body, &status, nullptr);
  if (status != 200) {
    throw std::runtime_error("fake cloud control call " + path + " answered " +
                             std::to_string(status));
  }
  return answer;
}

std::string FakeCloud::redirectOf(const std::string &url) const {
  long status = 0;
  std::string location;
  request("GET", url, "", &status, &location);
  return location;
}

nlohmann::json FakeCloud::calls() const {
  return nlohmann::json::parse(control("GET", "/_control/calls", ""));
}

void FakeCloud::setState(const nlohmann::json &state) const {
  control("POST", "/_control/state", state.dump());
}

void FakeCloud::reset() const {
  setState({{"enabled", nullptr},
            {"force", nlohmann::json::object()},
            {"malformed", nlohmann::json::object()},
            {"revoked", false},
            {"devicePort", 47831},
            {"enrollExtra", nlohmann::json::object()},
            {"forceBody", nlohmann::json::object()},
            {"desktop", nlohmann::json::object()}});
  control("POST", "/_control/reset", "");
}

} // namespace pellum::test
