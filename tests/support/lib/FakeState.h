#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pellum::test {

// The state directory shared by a test and its fake service-manager programs (fake_launchctl,
// fake_systemctl, fake_ps). Only those fakes read the variable; the product never does.
inline constexpr const char *kFakeStateVariable = "PELLUM_TEST_FAKE_STATE";

// Small file helpers for the fakes and the tests that drive them.
std::optional<std::string> readText(const std::filesystem::path &path);
void writeText(const std::filesystem::path &path, const std::string &text);
// Appends one line with `words` joined by single spaces to `log`.
void appendCall(const std::filesystem::path &log, const std::vector<std::string> &words);
// Lines of a calls log.
std::vector<std::string> readCalls(const std::filesystem::path &log);
// Takes one from the counter in `path` when it holds a number above 0; true when it did.
bool takeOne(const std::filesystem::path &path);
// The fake state directory named by kFakeStateVariable; exits with status 70 when unset.
std::filesystem::path fakeStateDirectory();

} // namespace pellum::test
