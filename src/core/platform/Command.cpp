#include "platform/Command.h"

#include "platform/ChildProcess.h"
#include "platform/Pipe.h"
#include "support/ConnectorError.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>

namespace pellum {

namespace {

constexpr std::size_t kChunkSize = 65536;

std::chrono::steady_clock::time_point deadlineAfter(double seconds) {
  auto now = std::chrono::steady_clock::now();
  if (!(seconds > 0)) { // also NaN
    return now;
  }
  // Far enough to mean "never", near enough not to overflow the clock.
  constexpr double kLongest = 100.0 * 365 * 24 * 3600;
  return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(std::min(seconds, kLongest)));
}

CommandResult finish(ChildProcess &child, std::string output) {
  child.wait();
  ChildProcess::Status status = child.status();
  return CommandResult{status.code, status.signaled, std::move(output)};
}

} // namespace

CommandResult command(const std::string &executable, const std::vector<std::string> &arguments,
                      double timeout, std::size_t limit,
                      const std::optional<Environment> &environment, bool captureError) {
  Pipe pipe = Pipe::create();
  ChildProcess::Options options;
  options.executable = executable;
  options.arguments = arguments;
  options.environment = environment;
  options.standardOutput = pipe.writeEnd.get();
  options.standardError = captureError ? pipe.writeEnd.get() : -1;
  // Short-lived tools never need the terminal; an interactive login shell would otherwise make
  // itself the terminal's foreground job and could leave the connector stopped behind it.
  options.newSession = true;
  ChildProcess child(options);
  pipe.writeEnd.reset();

  // The deadline bounds the whole run: a grandchild that keeps the pipe open after the child
  // has exited must not keep us waiting past it.
  const auto deadline = deadlineAfter(timeout);
  std::string output;
  for (;;) {
    if (waitReadable(pipe.readEnd.get(), -1, deadline) == PipeWait::timedOut) {
      child.signal(SIGKILL);
      return finish(child, std::move(output));
    }
    // Never read more than one byte past the limit, so memory stays bounded by it.
    std::size_t room = limit - output.size();
    std::size_t wanted = room >= kChunkSize ? kChunkSize : room + 1;
    std::size_t start = output.size();
    output.resize(start + wanted);
    std::size_t count = readSome(pipe.readEnd.get(), output.data() + start, wanted);
    output.resize(start + count);
    if (count == 0) {
      break;
    }
    if (output.size() > limit) {
      child.signal(SIGKILL);
      child.wait();
      throw ConnectorError("Command output exceeded its size limit.", 400);
    }
  }
  if (!child.waitUntil(deadline)) {
    child.signal(SIGKILL);
  }
  return finish(child, std::move(output));
}

} // namespace pellum
