#pragma once

#include <filesystem>

namespace pellum::test {

// Where the build put the programs (PellumConnector, the test doubles).
inline std::filesystem::path binDir() { return PELLUM_BIN_DIR; }
inline std::filesystem::path sourceDir() { return PELLUM_SOURCE_DIR; }
inline std::filesystem::path connectorPath() { return PELLUM_CONNECTOR_PATH; }

} // namespace pellum::test
