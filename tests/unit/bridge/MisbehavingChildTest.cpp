// Children that misbehave in every way we know of: none of them can hold a client past its
// limit, grow the bridge's memory without bound, hold up close(), or outlive their session.

#include "BridgeFixture.h"

#include "platform/ChildProcess.h"

#include <csignal>

namespace pellum::bridgetest {
namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
// Instrumented code reads a child's flood several times slower; the bound is for real builds.
constexpr std::chrono::milliseconds kSanitizerSlowness{kSanitized ? 2000 : 0};

// Resident memory of this process, in KiB.
long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) {
      return std::stol(line.substr(6));
    }
  }
  return 0;
}

// The highest resident memory seen while it exists, sampled every few milliseconds.
class PeakMemory {
public:
  PeakMemory()
      : thread_([this](std::stop_token stop) {
          while (!stop.stop_requested()) {
            peak_ = std::max(peak_.load(), residentKiB());
            std::this_thread::sleep_for(2ms);
          }
        }) {}
  long stop() {
    thread_.request_stop();
    thread_.join();
    return peak_;
  }

private:
  std::atomic<long> peak_{residentKiB()};
  std::jthread thread_;
};

std::vector<pid_t> pidsIn(const std::string &path) {
  std::vector<pid_t> pids;
  std::ifstream file(path);
  for (long pid; file >> pid;) {
    pids.push_back(static_cast<pid_t>(pid));
  }
  return pids;
}

TEST_F(BridgeTest, NoChildCanWedgeTheBridge) {
  struct Case {
    const char *mode;
    bool duringInitialize; // the misbehaviour shows before the session opens
    const char *status;
  };
  const std::vector<Case> cases = {
      {"flood-initialize", true, "HTTP/1.1 502 Response"},
      {"silent", true, "HTTP/1.1 502 Response"},
      {"flood", false, "HTTP/1.1 502 Response"},
      {"oversized", false, "HTTP/1.1 502 Response"},
      {"hang-tools-call", false, "HTTP/1.1 502 Response"},
      {"ignore-sigterm", false, "HTTP/1.1 200 Response"},
      {"grandchild", false, "HTTP/1.1 200 Response"},
  };
  // Per session: one line of 2 MiB being read, one copy of it, at most 4 MiB waiting for the
  // child and one message on its way; the rest is slack for the allocator.
  constexpr long kBoundKiB = 32 * 1024;
  NativeBridge::Options chosen = options();
  // Long enough for a slow machine to start a child (the floods end the session long before).
  chosen.session.initializeTimeout = 3s;
  chosen.forwardTimeout = 3s;
  chosen.session.killGrace = 500ms;
  const auto slack = 3s; // a loaded machine's scheduling, nothing the bridge waits for
  for (const Case &entry : cases) {
    SCOPED_TRACE(entry.mode);
    const std::string pidFile = (dir_.path() / (std::string(entry.mode) + ".pids")).string();
    startBridge({stdioServer("bad", entry.mode, {"--pid-file", pidFile})}, chosen);
    const long before = residentKiB();
    PeakMemory peak;

    Response response;
    auto start = Clock::now();
    if (entry.duringInitialize) {
      response = post("bad", rpc(1, "initialize"));
      EXPECT_LT(Clock::now() - start, chosen.session.initializeTimeout + slack);
    } else {
      std::string session = initialize("bad");
      start = Clock::now();
      response = post("bad", rpc(2, "tools/call", {{"name", "echo"}}), session);
      EXPECT_LT(Clock::now() - start, chosen.forwardTimeout + slack);
    }
    EXPECT_EQ(response.status, entry.status);
    const long grown = peak.stop() - before;
    if (!kSanitized) { // a sanitizer's quarantine holds on to freed memory
      EXPECT_LT(grown, kBoundKiB);
    }

    std::vector<pid_t> pids = pidsIn(pidFile);
    ASSERT_FALSE(pids.empty());
    start = Clock::now();
    bridge_->close();
    EXPECT_LT(Clock::now() - start, chosen.session.killGrace + 1s + slack + kSanitizerSlowness);
    // Nothing of the session's process group is left; the grandchild is gone too.
    EXPECT_TRUE(eventually([&] { return processGroupMembers(pids[0]).empty(); }));
    for (pid_t pid : pids) {
      EXPECT_TRUE(eventually([&] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        auto state = text.rfind(')');
        return text.empty() || (state + 2 < text.size() && text[state + 2] == 'Z');
      })) << pid;
    }
    bridge_.reset();
  }
}

TEST_F(BridgeTest, EndingASessionNeverWaitsForItsChild) {
  NativeBridge::Options chosen = options();
  chosen.session.killGrace = 2s;
  startBridge({stdioServer("stubborn", "ignore-sigterm"), stdioServer("broken", "old-version")},
              chosen);
  const auto quickly = 500ms;
  struct Case {
    const char *name;
    std::function<Response(const std::string &session)> end;
    const char *status;
  };
  const std::vector<Case> cases = {
      {"DELETE",
       [&](const std::string &session) {
         return call("DELETE", "/s/stubborn", {{"mcp-session-id", session}});
       },
       "HTTP/1.1 200 Response"},
      {"notifications/cancelled",
       [&](const std::string &session) {
         return post("stubborn", notification("notifications/cancelled"), session);
       },
       "HTTP/1.1 202 Response"},
  };
  for (const Case &entry : cases) {
    SCOPED_TRACE(entry.name);
    std::string session = initialize("stubborn");
    auto start = Clock::now();
    EXPECT_EQ(entry.end(session).status, entry.status); // read to the end of the stream
    EXPECT_LT(Clock::now() - start, quickly);
  }
  auto start = Clock::now();
  EXPECT_EQ(post("broken", rpc(1, "initialize")).status, "HTTP/1.1 502 Response");
  EXPECT_LT(Clock::now() - start, quickly);
  // The children are still given their grace, and gone after it.
  EXPECT_TRUE(eventually([] { return !test::hasChildProcesses(); }));
}

} // namespace
} // namespace pellum::bridgetest
