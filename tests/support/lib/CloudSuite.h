#pragma once

#include "FakeCloud.h"
#include "TempDir.h"

#include "config/ConfigStore.h"
#include "support/ConnectorError.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace pellum::test {

// A valid enrolment code (43 characters of the code alphabet).
inline const std::string kCode = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";

inline const std::string kNotEnrolled =
    "This Mac is not enrolled. Create a device in your dashboard, then enroll it here.";
inline const std::string kAlreadyEnrolled = "This Mac is already enrolled. Use Start connector "
                                            "at login to switch its existing connector to the "
                                            "Mac app.";
inline const std::string kBadCode = "Paste a valid enrollment code from your dashboard.";
inline const std::string kNoteStart =
    "Local service updated. Use Start connector at login to start the connector.";
inline const std::string kNoteRestarted = "Local service updated. Connector restarted.";

// Tests against one fake cloud service shared by the whole suite (it takes a second to start),
// each with a fresh home, configuration directory and recorded calls. Skips with the reason
// when Node is not available.
class CloudSuite : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    try {
      cloud_ = std::make_unique<FakeCloud>();
    } catch (const std::exception &error) {
      skipReason_ = error.what();
    }
  }
  static void TearDownTestSuite() { cloud_.reset(); }

  void SetUp() override {
    if (!cloud_) {
      GTEST_SKIP() << "fake cloud unavailable: " << skipReason_;
    }
    cloud_->reset();
    std::filesystem::create_directories(home);
  }

  // The calls received by the service since the test began.
  static nlohmann::json calls() { return cloud_->calls(); }

  // The contents of "config.json", or nothing when it does not exist.
  std::optional<std::string> configText() const {
    if (!std::filesystem::exists(directory / "config.json")) {
      return std::nullopt;
    }
    return readFile(directory / "config.json");
  }

  static inline std::unique_ptr<FakeCloud> cloud_;
  static inline std::string skipReason_;

  TempDir temp;
  std::filesystem::path home = temp.path() / "home";
  std::filesystem::path directory = temp.path() / "config";
};

// The message and status of the ConnectorError that `action` throws.
template <typename Action> std::pair<std::string, int> connectorError(Action action) {
  try {
    action();
  } catch (const ConnectorError &error) {
    return {error.message, error.status};
  } catch (const std::exception &error) {
    return {std::string("(not a ConnectorError) ") + error.what(), 0};
  }
  return {"(no error)", 0};
}

} // namespace pellum::test
