#include "platform/TunnelClientPlatform.h"

namespace pellum {

namespace {

// The release feed names processors the way Go does.
#if defined(__aarch64__) || defined(__arm64__)
constexpr const char *kHostArchitecture = "arm64";
#elif defined(__x86_64__)
constexpr const char *kHostArchitecture = "amd64";
#else
#error "No official tunnel client release is known for this processor."
#endif

} // namespace

TunnelClientPlatform TunnelClientPlatform::darwinArchive(const std::string &architecture) {
  return {architecture, "cloudflared-darwin-" + architecture + ".tgz", true};
}

TunnelClientPlatform TunnelClientPlatform::linuxExecutable(const std::string &architecture) {
  return {architecture, "cloudflared-linux-" + architecture, false};
}

TunnelClientPlatform TunnelClientPlatform::host() {
#if defined(__APPLE__)
  return darwinArchive(kHostArchitecture);
#else
  return linuxExecutable(kHostArchitecture);
#endif
}

} // namespace pellum
