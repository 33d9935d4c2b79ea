#pragma once

namespace pellum {

// The per-user service manager that runs the connector at login on this operating system.
enum class ServiceManager { launchd, systemd };

#ifdef __APPLE__
inline constexpr ServiceManager kNativeServiceManager = ServiceManager::launchd;
#else
inline constexpr ServiceManager kNativeServiceManager = ServiceManager::systemd;
#endif

} // namespace pellum
