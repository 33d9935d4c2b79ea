#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pellum {

// What one line of a stdio server's output means to its session.
struct ChildMessage {
  enum class Kind {
    // An answer to the integer id `id`; `result` locates the "result" value in the line
    // (length 0 when the answer has none).
    answer,
    // A request from the server to the client: `refusal` is the line to write back to it.
    refusal,
    // Anything else (a notification of the server's, an answer without an integer id).
    dropped,
  };
  Kind kind = Kind::dropped;
  std::int64_t id = 0;
  std::size_t resultOffset = 0;
  std::size_t resultLength = 0;
  std::string refusal;
};

// Splits a stdio server's output into lines and says what each one is. Pure: no I/O, no
// threads; a session owns one and feeds it each chunk read from the child, in order.
// Accessed by one thread at a time.
class ChildOutput {
public:
  // The longest line, without its line feed; more closes the session.
  static constexpr std::size_t kLineLimit = 2097152;

  // What `line` (without its line feed) is, or nullopt when it ends the session: longer than
  // the limit, nested deeper than kRpcMaxNesting, not JSON, or JSON but not an object.
  static std::optional<ChildMessage> classify(std::string_view line);

  // Appends `chunk` and hands each complete line (without its line feed) to `onLine`, in order,
  // which says whether to go on (it reads the line with classify()). Returns false once
  // `onLine` did, or when more than the limit has come without a line feed. After false, feed
  // no more.
  bool feed(std::string_view chunk, const std::function<bool(std::string_view line)> &onLine);

  // Bytes held of an unfinished line.
  std::size_t buffered() const { return buffer_.size(); }
  // Those bytes.
  std::string_view held() const { return buffer_; }

private:
  std::string buffer_;
};

} // namespace pellum
