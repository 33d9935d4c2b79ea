#include "ConnectorMain.h"

#include "config/ConnectorError.h"
#include "management/NativeManagement.h"
#include "support/Files.h"

#include <cerrno>
#include <csignal>
#include <optional>
#include <unistd.h>

namespace pellum {

namespace {

constexpr std::string_view kVersionLine = "Pellum connector 0.2.0";
constexpr std::string_view kUnknownError = "An unexpected error occurred.";
// An enrolment code is 43 characters; keeping at most this much of a line bounds memory while
// still refusing any overlong line as the wrong code it is.
constexpr std::size_t kMaxInputLine = 1 << 20;

// One write per line so that lines from concurrent writers never interleave. A reader that has
// gone away is not an error worth more than the lost line.
void writeLine(int fd, std::string_view text) {
  std::string line(text);
  line += '\n';
  std::string_view remaining = line;
  while (!remaining.empty()) {
    ssize_t written = ::write(fd, remaining.data(), remaining.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    remaining.remove_prefix(static_cast<std::size_t>(written));
  }
}

// One line of standard input without its terminator; empty when input is already at its end.
std::optional<std::string> readInputLine() {
  std::string line;
  bool readAny = false;
  char byte = 0;
  while (true) {
    ssize_t count = ::read(STDIN_FILENO, &byte, 1);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0 || byte == '\n') {
      readAny = readAny || count > 0;
      break;
    }
    readAny = true;
    if (line.size() < kMaxInputLine) {
      line += byte;
    }
  }
  if (!readAny) {
    return std::nullopt;
  }
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}

std::string describe(const std::exception &error) { return error.what(); }

} // namespace

void ConnectorMain::run(const ConfigStore &store, const std::vector<std::string> &arguments) {
  // The foreground run is not available in this build: after the enrolment check, refuse.
  (void)arguments;
  store.load();
  throw ConnectorError("Unsupported connector action.", 400);
}

int ConnectorMain::main(int argc, char **argv) {
  // Writing to a peer that has gone away must fail the write, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  ConfigStore store;
  std::filesystem::path executable =
      absoluteLexicalPath(argc > 0 && argv[0] != nullptr ? argv[0] : "");
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);

  if (arguments.empty() || arguments.front() == "--version") {
    writeLine(STDOUT_FILENO, kVersionLine);
    return 0;
  }
  if (arguments.front() == "start") {
    try {
      run(store, arguments);
      return 0;
    } catch (const std::exception &error) {
      writeLine(STDERR_FILENO, "Connector failed: " + describe(error));
      return 1;
    } catch (...) {
      writeLine(STDERR_FILENO, "Connector failed: " + std::string(kUnknownError));
      return 1;
    }
  }
  try {
    std::optional<std::string> input;
    if (arguments.front() == "enroll") {
      input = readInputLine();
    }
    std::string result = NativeManagement(store, executable).execute(arguments, input);
    writeLine(STDOUT_FILENO, result);
    return 0;
  } catch (const std::exception &error) {
    writeLine(STDERR_FILENO, describe(error));
    return 1;
  } catch (...) {
    writeLine(STDERR_FILENO, kUnknownError);
    return 1;
  }
}

} // namespace pellum
