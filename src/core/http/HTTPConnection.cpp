#include "http/HTTPConnection.h"

#include "http/HTTPHead.h"
#include "http/SocketTransport.h"
#include "support/Ascii.h"
#include "support/ConnectorError.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace pellum {

namespace {

[[noreturn]] void refuse(const char *message) { throw ConnectorError(message, 400); }

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// Bodies up to this size go out in the same write as their head.
constexpr std::size_t kJoinedBody = 65'536;

// The chunk size before any ";extension": 1 to 8 hexadecimal digits, nothing else.
std::uint64_t chunkSize(std::string_view line) {
  std::string_view digits = line.substr(0, line.find(';'));
  if (digits.empty() || digits.size() > 8) {
    refuse("Invalid or oversized chunked request.");
  }
  std::uint64_t size = 0;
  for (char c : digits) {
    int value = hexDigitValue(c);
    if (value < 0) {
      refuse("Invalid or oversized chunked request.");
    }
    size = size * 16 + static_cast<std::uint64_t>(value);
  }
  return size;
}

// Where a terminator that is not in `view` could begin at the earliest: at the longest tail of
// `view` that starts it, else right after `view`. Judging a limit by this refuses as soon as no
// terminator can still fit, however the bytes were split into receives.
std::size_t earliestTerminator(std::string_view view, std::string_view terminator) {
  for (std::size_t tail = std::min(view.size(), terminator.size() - 1); tail > 0; --tail) {
    if (view.substr(view.size() - tail) == terminator.substr(0, tail)) {
      return view.size() - tail;
    }
  }
  return view.size();
}

} // namespace

HTTPConnection::HTTPConnection(int fd, std::chrono::steady_clock::time_point deadline,
                               std::stop_token stop)
    : HTTPConnection(std::make_unique<SocketTransport>(fd, deadline, std::move(stop))) {
  // Every write is a whole head, answer or batch of chunks: none should wait for the client to
  // acknowledge the one before. (Not a TCP socket in some tests: then there is nothing to set.)
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

HTTPConnection::HTTPConnection(std::unique_ptr<HTTPTransport> transport)
    : transport_(std::move(transport)) {
  if (!transport_) {
    throw std::invalid_argument("HTTPConnection needs a transport");
  }
}

HTTPConnection::~HTTPConnection() = default;

std::string_view HTTPConnection::pending() const {
  return std::string_view(buffer_).substr(start_);
}

std::string_view HTTPConnection::buffer() const { return pending(); }

void HTTPConnection::consume(std::size_t count) { start_ += count; }

void HTTPConnection::read() {
  if (!scratch_) {
    scratch_ = std::make_unique_for_overwrite<char[]>(kMaxReceive);
  }
  auto received = transport_->receive({scratch_.get(), kMaxReceive});
  if (received.size > kMaxReceive) {
    throw std::logic_error("transport returned more bytes than asked for");
  }
  if (received.size == 0) {
    refuse(received.complete ? "Connection closed." : "Empty request.");
  }
  // Drop what was consumed before growing, so the buffer stays bounded by the unread bytes.
  buffer_.erase(0, start_);
  start_ = 0;
  buffer_.append(scratch_.get(), received.size);
}

std::string HTTPConnection::line(std::size_t limit) {
  std::size_t searched = 0;
  for (;;) {
    std::string_view view = pending();
    auto end = view.find("\r\n", searched == 0 ? 0 : searched - 1);
    if (end != std::string_view::npos) {
      if (end > limit) {
        refuse("HTTP line too long.");
      }
      std::string out(view.substr(0, end));
      consume(end + 2);
      return out;
    }
    if (earliestTerminator(view, "\r\n") > limit) {
      refuse("HTTP line too long.");
    }
    searched = view.size();
    read();
  }
}

std::string HTTPConnection::take(std::size_t count) {
  while (pending().size() < count) {
    read();
  }
  std::string out(pending().substr(0, count));
  consume(count);
  return out;
}

HTTPRequest HTTPConnection::request() {
  std::size_t searched = 0;
  std::size_t end;
  for (;;) {
    std::string_view view = pending();
    end = view.find("\r\n\r\n", searched < 3 ? 0 : searched - 3);
    if (end != std::string_view::npos) {
      break;
    }
    if (earliestTerminator(view, "\r\n\r\n") > kMaxHead) {
      refuse("HTTP headers too large.");
    }
    searched = view.size();
    read();
  }
  if (end > kMaxHead) {
    refuse("HTTP headers too large.");
  }
  HTTPHead head = HTTPHead::parse(pending().substr(0, end));
  consume(end + 4);

  if (auto expect = head.headers.find("expect"); expect != head.headers.end()) {
    if (lowerASCII(expect->second) != "100-continue") {
      refuse("Unsupported HTTP expectation.");
    }
    send(kContinue);
  }

  HTTPRequest request{std::move(head.method), std::move(head.target), std::move(head.headers), {}};
  if (request.headers.count("transfer-encoding") != 0) {
    request.body = readChunkedBody();
  } else if (auto length = request.headers.find("content-length");
             length != request.headers.end()) {
    // The head parser has checked that the value is all digits and fits 64 bits.
    std::uint64_t size = 0;
    std::from_chars(length->second.data(), length->second.data() + length->second.size(), size);
    if (size > kMaxBody) {
      refuse("HTTP body exceeds 2 MB.");
    }
    request.body = take(static_cast<std::size_t>(size));
  }
  return request;
}

std::string HTTPConnection::readChunkedBody() {
  std::string body;
  for (;;) {
    std::uint64_t size = chunkSize(line(kMaxLine));
    if (size > kMaxBody - body.size()) {
      refuse("Invalid or oversized chunked request.");
    }
    if (size == 0) {
      break;
    }
    body += take(static_cast<std::size_t>(size));
    if (take(2) != "\r\n") {
      refuse("Invalid HTTP chunk boundary.");
    }
  }
  // Trailers are read to the end of the message but neither parsed nor kept.
  std::size_t total = 0;
  for (;;) {
    std::string trailer = line(kMaxLine);
    total += trailer.size() + 2;
    if (total >= kMaxTrailers) {
      refuse("HTTP trailers too large.");
    }
    if (trailer.empty()) {
      return body;
    }
  }
}

std::string HTTPConnection::headText(int status, const HeaderMap &headers, bool chunked,
                                     std::uint64_t length) {
  HeaderMap all = headers;
  all["connection"] = "close";
  all["cache-control"] = "no-store";
  if (chunked) {
    all["transfer-encoding"] = "chunked";
  } else {
    all["content-length"] = std::to_string(length);
  }
  sentHeaders_ = true;
  std::string text = "HTTP/1.1 " + std::to_string(status) + " Response\r\n";
  for (const auto &[name, value] : all) {
    text += name;
    text += ": ";
    text += value;
    text += "\r\n";
  }
  text += "\r\n";
  return text;
}

void HTTPConnection::head(int status, const HeaderMap &headers, bool chunked,
                          std::uint64_t length) {
  send(headText(status, headers, chunked, length));
}

void HTTPConnection::respond(int status, std::string_view body, const HeaderMap &headers) {
  std::string text = headText(status, headers, false, body.size());
  // One write, so the client is woken once; a large body is not copied for it.
  if (body.size() <= kJoinedBody) {
    text += body;
    send(text);
    return;
  }
  send(text);
  send(body);
}

void HTTPConnection::chunk(std::string_view data) {
  std::string block;
  block.reserve(data.size() + 24);
  appendChunk(block, data);
  send(block);
}

void HTTPConnection::lastChunk(std::string_view data) {
  std::string block;
  block.reserve(data.size() + 32);
  if (!data.empty()) {
    appendChunk(block, data);
  }
  appendChunk(block, {});
  send(block);
}

void HTTPConnection::send(std::string_view bytes) { transport_->send(bytes); }

// One chunk of a chunked body: its size in hexadecimal, CRLF, the data, CRLF.
void HTTPConnection::appendChunk(std::string &block, std::string_view first,
                                 std::string_view second) {
  char size[2 * sizeof(std::size_t)];
  block.append(size, std::to_chars(size, size + sizeof size, first.size() + second.size(), 16).ptr);
  block += "\r\n";
  block += first;
  block += second;
  block += "\r\n";
}

} // namespace pellum
