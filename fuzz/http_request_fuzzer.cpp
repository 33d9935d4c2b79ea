// Feeds arbitrary bytes to the request head parser and, through an in-memory transport that
// cuts them into receives of a size chosen by the first byte, to the whole request reader.
#include "FuzzCheck.h"
#include "http/HTTPConnection.h"
#include "http/HTTPHead.h"
#include "http/ProxyHeaders.h"
#include "support/ConnectorError.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

using fuzzcheck::check;

namespace {

class MemoryTransport final : public pellum::HTTPTransport {
public:
  MemoryTransport(std::string_view input, std::size_t step, bool endsClosed, std::string &sent)
      : input_(input), step_(step), endsClosed_(endsClosed), sent_(sent) {}

  Received receive(std::span<char> buffer) override {
    if (input_.empty()) {
      return {0, endsClosed_};
    }
    std::size_t size = std::min({step_, buffer.size(), input_.size()});
    std::memcpy(buffer.data(), input_.data(), size);
    input_.remove_prefix(size);
    return {size, false};
  }

  void send(std::string_view bytes) override { sent_.append(bytes); }

private:
  std::string_view input_;
  std::size_t step_;
  bool endsClosed_;
  std::string &sent_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);
  std::size_t step = std::size_t{1} << (data[0] % 17);
  bool endsClosed = data[0] < 128;

  try {
    pellum::HTTPHead head = pellum::HTTPHead::parse(input);
    check(head.headers.count("host") == 1);
  } catch (const pellum::ConnectorError &error) {
    check(error.status == 400);
  }

  std::string sent;
  pellum::HTTPConnection connection(
      std::make_unique<MemoryTransport>(input, step, endsClosed, sent));
  try {
    pellum::HTTPRequest request = connection.request();
    check(request.body.size() <= pellum::HTTPConnection::kMaxBody);
    check(request.headers.count("host") == 1);
    check(!(request.headers.count("transfer-encoding") && request.headers.count("content-length")));
    check(sent.empty() || sent == "HTTP/1.1 100 Continue\r\n\r\n");
    check(sent.empty() == (request.headers.count("expect") == 0));
    for (const auto &[name, value] : pellum::cleanProxyHeaders(request.headers)) {
      check(value.find_first_of("\r\n") == std::string::npos);
      check(name != "host" && name != "authorization" && name != "content-length");
    }
    connection.head(200, {}, true, 0);
    connection.chunk(request.body);
    connection.chunk({});
    check(connection.sentHeaders());
  } catch (const pellum::ConnectorError &error) {
    check(error.status == 400);
  }
  return 0;
}
