#pragma once

#include "config/ConfigStore.h"
#include "config/DeviceConfig.h"
#include "onboarding/FirstRunPhase.h"

#include <optional>

namespace pellum {

// What the app found on disk at start: its phase, the configuration directory that holds (or is
// to hold) the pairing, and the device record found there, if any. A plain value.
struct FirstRunInspection {
  FirstRunPhase phase;
  ConfigStore store;
  std::optional<DeviceConfig> device;
};

} // namespace pellum
