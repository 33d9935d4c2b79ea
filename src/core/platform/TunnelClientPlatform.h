#pragma once

#include <string>

namespace pellum {

// How the official tunnel client is published for one operating system and processor: the
// release asset to fetch, whether it is a gzip tarball holding the executable or the executable
// itself, and the architecture name that also names the install directory. A plain value.
struct TunnelClientPlatform {
  std::string architecture; // "arm64", "amd64"
  std::string assetName;    // "cloudflared-darwin-arm64.tgz", "cloudflared-linux-amd64"
  bool archive = false;     // true: a .tgz whose single "cloudflared" member is the executable

  // The macOS release: a tarball per architecture.
  static TunnelClientPlatform darwinArchive(const std::string &architecture);
  // The Linux release: a bare executable per architecture.
  static TunnelClientPlatform linuxExecutable(const std::string &architecture);
  // The release for the computer this program was built for.
  static TunnelClientPlatform host();
};

} // namespace pellum
