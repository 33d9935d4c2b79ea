#pragma once

#include "config/ConfigStore.h"
#include "platform/TunnelClientPlatform.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pellum {

// Fetches the current stable release of the tunnel client `cloudflared` from its public release
// feed, accepts only the official asset for this platform whose SHA-256 digest the feed
// publishes, and keeps the executable in the configuration directory under
// "bin/native-<architecture>" with a manifest "installed.json" ({"binaryHash", "version"}).
//
// Every failure is thrown: ConnectorError (400) for the installer's own checks, TransportError
// for a failed transfer, nlohmann::json's parse error for metadata that is not JSON, and
// std::system_error or the configuration store's errors for files. All operations block the
// calling thread on network, file and child-process I/O. An installer is an immutable value;
// concurrent calls are not coordinated, and the last writer of the executable and manifest wins.
class CloudflareInstaller {
public:
  static constexpr std::string_view kApiOrigin = "https://api.github.com";
  static constexpr std::string_view kWebOrigin = "https://github.com";
  static constexpr std::size_t kMetadataLimit = 2'097'152;
  static constexpr std::size_t kArchiveLimit = 157'286'400;

  struct Options {
    // Where the release metadata is fetched, and the origin that the feed's download URLs
    // must start with, exactly as the feed writes it.
    std::string apiOrigin{kApiOrigin};
    std::string webOrigin{kWebOrigin};
    TunnelClientPlatform platform = TunnelClientPlatform::host();
    // The program that lists and extracts tarballs.
    std::string tarPath = "/usr/bin/tar";
  };

  // The asset chosen from the release metadata.
  struct ReleaseAsset {
    std::string url;    // its download URL
    std::string sha256; // its expected digest, 64 lower-case hexadecimal characters
    std::string version;
  };

  explicit CloudflareInstaller(ConfigStore store);
  CloudflareInstaller(ConfigStore store, Options options);

  // Returns the absolute path of a verified tunnel client executable. Without `update`, a kept
  // executable that still matches its manifest is returned without network access; anything
  // wrong with the kept files silently means that the latest release is installed. With
  // `update`, the latest release is always fetched and installed.
  std::filesystem::path ensure(bool update) const;

  // Puts `executable` in place as the kept tunnel client of `version` (a "2025.1.0"-shaped
  // tag) and points the manifest at it, so that a later ensure(false) returns it. Returns its
  // path. Throws ConnectorError("Invalid Cloudflare stable release.", 400) for another version
  // shape.
  std::filesystem::path install(std::string_view version, std::string_view executable) const;

  // The directory holding the kept executables and the manifest.
  std::filesystem::path installDirectory() const;

  // Selects the asset of `platform` from the feed's metadata of the latest release. Throws
  // ConnectorError (400) for a release that is not stable, and for a missing asset, an asset
  // URL other than `webOrigin` + "/cloudflare/cloudflared/releases/download/<tag>/<asset>", or a
  // malformed digest.
  static ReleaseAsset releaseAsset(const nlohmann::json &metadata,
                                   const TunnelClientPlatform &platform,
                                   std::string_view webOrigin = kWebOrigin);

  // GETs `url` with "User-Agent: Pellum-macOS", following redirects and honouring the proxy
  // settings of the environment, and returns a body of at most `limit` bytes. Throws
  // ConnectorError (400) for a status other than 200, an announced length over `limit`, or as
  // soon as more than `limit` bytes have arrived.
  static std::string download(const std::string &url, std::size_t limit);

  // SHA-256 of `bytes` as 64 lower-case hexadecimal characters.
  static std::string sha256(std::string_view bytes);

private:
  std::filesystem::path prepareDirectory() const;
  std::optional<std::filesystem::path> keptExecutable(const std::filesystem::path &directory) const;
  std::string executableFromArchive(const std::filesystem::path &directory,
                                    std::string_view archive) const;
  std::filesystem::path writeInstalled(const std::filesystem::path &directory,
                                       std::string_view version, std::string_view executable) const;

  ConfigStore store_;
  Options options_;
};

} // namespace pellum
