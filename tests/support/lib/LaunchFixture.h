#pragma once

#include "FakeState.h"
#include "Paths.h"
#include "ScopedVariable.h"
#include "TempDir.h"

#include "config/ConfigStore.h"
#include "launch/LaunchSettings.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace pellum::test {

// A home directory, a configuration directory, a connector executable (an idle program under
// the name PellumConnector) and a fake state directory for the fake service-manager programs.
class LaunchFixture : public ::testing::Test {
protected:
  void SetUp() override {
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(executable.parent_path());
    std::filesystem::create_directories(state);
    std::filesystem::copy_file(binDir() / "idle_program", executable);
  }

  LaunchSettings settings(const std::string &fakeManager) {
    LaunchSettings result;
    result.home = home;
    result.uid = ::getuid();
    result.manager = binDir() / fakeManager;
    result.ps = binDir() / "fake_ps";
    result.sleep = [this](double seconds) { sleeps.push_back(seconds); };
    return result;
  }

  std::vector<std::string> calls(const std::string &fake) const {
    return readCalls(state / (fake + ".log"));
  }

  std::string uid() const { return std::to_string(::getuid()); }

  TempDir temp;
  std::filesystem::path home = temp.path() / "home";
  std::filesystem::path directory = home / ".pellum";
  std::filesystem::path executable = temp.path() / "app" / "PellumConnector";
  std::filesystem::path cloudflared = directory / "bin" / "cloudflared";
  std::filesystem::path state = temp.path() / "state";
  ConfigStore store{directory};
  ScopedVariable fakeState{kFakeStateVariable, state.string()};
  std::vector<double> sleeps;
};

inline std::filesystem::perms permissionsOf(const std::filesystem::path &path) {
  return std::filesystem::status(path).permissions() & std::filesystem::perms::mask;
}

} // namespace pellum::test
