// Feeds arbitrary bytes, read as the release feed's JSON, to the installer's choice of asset for
// each published platform: metadata is refused with the installer's 400 error, or yields an
// asset under the official download path with a well-formed digest.
#include "FuzzCheck.h"
#include "service/CloudflareInstaller.h"
#include "support/ConnectorError.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

using fuzzcheck::check;

namespace {

bool isDigest(const std::string &text) {
  if (text.size() != 64) {
    return false;
  }
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  nlohmann::json metadata =
      nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  if (metadata.is_discarded()) {
    return 0;
  }
  using pellum::TunnelClientPlatform;
  for (const TunnelClientPlatform &platform : {TunnelClientPlatform::darwinArchive("arm64"),
                                               TunnelClientPlatform::linuxExecutable("amd64")}) {
    try {
      pellum::CloudflareInstaller::ReleaseAsset asset =
          pellum::CloudflareInstaller::releaseAsset(metadata, platform, "https://github.com");
      check(asset.url == "https://github.com/cloudflare/cloudflared/releases/download/" +
                             asset.version + "/" + platform.assetName);
      check(isDigest(asset.sha256));
      check(!asset.version.empty());
    } catch (const pellum::ConnectorError &error) {
      check(error.status == 400);
    }
  }
  return 0;
}
