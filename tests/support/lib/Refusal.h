#pragma once

#include "support/ConnectorError.h"

#include <gtest/gtest.h>

#include <string>

namespace pellum::test {

// The message of the ConnectorError that `action` throws, or "" when it throws none. A refusal
// whose status is not `status` fails the test; other exceptions pass through.
template <typename Action> std::string refusal(Action action, int status = 400) {
  try {
    action();
  } catch (const ConnectorError &error) {
    EXPECT_EQ(error.status, status) << error.message;
    return error.message;
  }
  return "";
}

} // namespace pellum::test
