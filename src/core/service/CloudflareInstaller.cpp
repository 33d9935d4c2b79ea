#include "service/CloudflareInstaller.h"

#include "platform/Command.h"
#include "service/URLSession.h"
#include "support/Ascii.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"
#include "support/Files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace pellum {

namespace {

constexpr std::string_view kMetadataPath = "/repos/cloudflare/cloudflared/releases/latest";
constexpr std::string_view kDownloadPath = "/cloudflare/cloudflared/releases/download/";
constexpr std::string_view kManifestName = "installed.json";
constexpr std::string_view kUserAgent = "Pellum-macOS";

constexpr double kListTimeout = 30;
constexpr std::size_t kListLimit = 4'194'304;
constexpr double kExtractTimeout = 60;
constexpr std::size_t kExtractLimit = 209'715'200;
// Download time limits: for a connection or a stalled body, and for the whole transfer.
constexpr double kRequestTimeout = 60;
constexpr double kResourceTimeout = 120;

// One or more ASCII digits.
bool isNumber(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

// A stable release tag: four digits, a dot, digits, a dot, digits ("2025.1.0"). Nothing else
// may follow, not even a line break, since the tag names a file and goes into a URL.
bool isStableTag(std::string_view tag) {
  auto first = tag.find('.');
  if (first != 4 || !isNumber(tag.substr(0, 4))) {
    return false;
  }
  auto second = tag.find('.', first + 1);
  if (second == std::string_view::npos) {
    return false;
  }
  return isNumber(tag.substr(first + 1, second - first - 1)) && isNumber(tag.substr(second + 1));
}

// "sha256:" followed by 64 hexadecimal digits of either case.
bool isDigest(std::string_view text) {
  constexpr std::string_view prefix = "sha256:";
  return text.size() == prefix.size() + 64 && text.starts_with(prefix) &&
         std::all_of(text.begin() + prefix.size(), text.end(), isHexDigit);
}

bool isTrue(const nlohmann::json &object, const char *key) {
  auto value = object.find(key);
  return value != object.end() && value->is_boolean() && value->get<bool>();
}

std::filesystem::path executablePath(const std::filesystem::path &directory,
                                     std::string_view version) {
  return directory / (std::string(version) + "-cloudflared");
}

// Creates `path` owner-only unless it exists; its parent must exist.
void makeDirectory(const std::filesystem::path &path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::system_error(errno, std::generic_category(), path.string());
  }
}

void setMode(const std::filesystem::path &path, mode_t mode) {
  if (::chmod(path.c_str(), mode) != 0) {
    throw std::system_error(errno, std::generic_category(), path.string());
  }
}

// Removes a file when it goes out of scope, whatever the outcome; a failure is ignored.
class RemoveOnExit {
public:
  explicit RemoveOnExit(std::filesystem::path path) : path_(std::move(path)) {}
  ~RemoveOnExit() { ::unlink(path_.c_str()); }
  RemoveOnExit(const RemoveOnExit &) = delete;
  RemoveOnExit &operator=(const RemoveOnExit &) = delete;

private:
  std::filesystem::path path_;
};

// The value of a "content-length" field, when it is one plain decimal number that fits.
std::optional<std::size_t> announcedLength(const HeaderMap &headers) {
  auto field = headers.find("content-length");
  if (field == headers.end() || !isNumber(field->second)) {
    return std::nullopt;
  }
  std::size_t length = 0;
  for (char c : field->second) {
    auto digit = static_cast<std::size_t>(c - '0');
    if (length > (SIZE_MAX - digit) / 10) {
      return SIZE_MAX;
    }
    length = length * 10 + digit;
  }
  return length;
}

} // namespace

CloudflareInstaller::CloudflareInstaller(ConfigStore store)
    : CloudflareInstaller(std::move(store), Options{}) {}

CloudflareInstaller::CloudflareInstaller(ConfigStore store, Options options)
    : store_(std::move(store)), options_(std::move(options)) {}

std::filesystem::path CloudflareInstaller::installDirectory() const {
  return store_.directory() / "bin" / ("native-" + options_.platform.architecture);
}

std::filesystem::path CloudflareInstaller::prepareDirectory() const {
  store_.prepare();
  std::filesystem::path directory = installDirectory();
  makeDirectory(directory.parent_path());
  makeDirectory(directory);
  setMode(directory, 0700);
  return directory;
}

std::filesystem::path CloudflareInstaller::ensure(bool update) const {
  std::filesystem::path directory = prepareDirectory();
  if (!update) {
    if (auto kept = keptExecutable(directory)) {
      return *kept;
    }
  }

  nlohmann::json metadata = nlohmann::json::parse(
      download(options_.apiOrigin + std::string(kMetadataPath), kMetadataLimit));
  if (!metadata.is_object()) {
    throw ConnectorError("Invalid Cloudflare metadata.", 400);
  }
  ReleaseAsset asset = releaseAsset(metadata, options_.platform, options_.webOrigin);
  std::string payload = download(asset.url, kArchiveLimit);
  if (sha256(payload) != asset.sha256) {
    throw ConnectorError("Cloudflare archive failed SHA-256 verification.", 400);
  }
  if (options_.platform.archive) {
    payload = executableFromArchive(directory, payload);
  } else if (payload.empty()) {
    throw ConnectorError("Cannot extract Cloudflare executable.", 400);
  }
  return writeInstalled(directory, asset.version, payload);
}

std::filesystem::path CloudflareInstaller::install(std::string_view version,
                                                   std::string_view executable) const {
  if (!isStableTag(version)) {
    throw ConnectorError("Invalid Cloudflare stable release.", 400);
  }
  return writeInstalled(prepareDirectory(), version, executable);
}

std::optional<std::filesystem::path>
CloudflareInstaller::keptExecutable(const std::filesystem::path &directory) const {
  try {
    nlohmann::json manifest =
        nlohmann::json::parse(readFile(directory / kManifestName), nullptr, false);
    if (!manifest.is_object() ||
        !std::all_of(manifest.begin(), manifest.end(),
                     [](const nlohmann::json &value) { return value.is_string(); })) {
      return std::nullopt;
    }
    auto version = manifest.find("version");
    auto binaryHash = manifest.find("binaryHash");
    if (version == manifest.end() || binaryHash == manifest.end() ||
        !isStableTag(version->get_ref<const std::string &>())) {
      return std::nullopt;
    }
    std::filesystem::path executable =
        executablePath(directory, version->get_ref<const std::string &>());
    // Nothing larger could have come out of an extraction; don't read it to find out.
    struct stat status {};
    if (::stat(executable.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) > kExtractLimit) {
      return std::nullopt;
    }
    if (sha256(readFile(executable)) != binaryHash->get_ref<const std::string &>() ||
        ::access(executable.c_str(), X_OK) != 0) {
      return std::nullopt;
    }
    return std::filesystem::absolute(executable);
  } catch (const std::exception &) {
    // Unreadable kept files are as good as none: the release is installed again.
    return std::nullopt;
  }
}

std::string CloudflareInstaller::executableFromArchive(const std::filesystem::path &directory,
                                                       std::string_view archive) const {
  std::filesystem::path archivePath = directory / (newUUID() + ".tgz");
  RemoveOnExit removeArchive(archivePath);
  privateWrite(archive, archivePath);

  CommandResult listing =
      command(options_.tarPath, {"-tzf", archivePath.string()}, kListTimeout, kListLimit);
  std::vector<std::string> members;
  std::string_view rest = listing.outputBytes;
  while (!rest.empty()) {
    auto end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line == "cloudflared" || line == "./cloudflared") {
      members.emplace_back(line);
    }
  }
  if (!listing.succeeded() || members.size() != 1) {
    throw ConnectorError("Invalid Cloudflare archive contents.", 400);
  }

  CommandResult extracted = command(options_.tarPath, {"-xzOf", archivePath.string(), members[0]},
                                    kExtractTimeout, kExtractLimit);
  if (!extracted.succeeded() || extracted.outputBytes.empty()) {
    throw ConnectorError("Cannot extract Cloudflare executable.", 400);
  }
  return std::move(extracted.outputBytes);
}

std::filesystem::path CloudflareInstaller::writeInstalled(const std::filesystem::path &directory,
                                                          std::string_view version,
                                                          std::string_view executable) const {
  std::filesystem::path path = executablePath(directory, version);
  privateWrite(executable, path);
  setMode(path, 0700);
  nlohmann::json manifest = {{"version", std::string(version)}, {"binaryHash", sha256(executable)}};
  privateWrite(manifest.dump(), directory / kManifestName);
  return std::filesystem::absolute(path);
}

CloudflareInstaller::ReleaseAsset
CloudflareInstaller::releaseAsset(const nlohmann::json &metadata,
                                  const TunnelClientPlatform &platform,
                                  std::string_view webOrigin) {
  auto tag = metadata.find("tag_name");
  if (tag == metadata.end() || !tag->is_string() ||
      !isStableTag(tag->get_ref<const std::string &>()) || isTrue(metadata, "draft") ||
      isTrue(metadata, "prerelease")) {
    throw ConnectorError("Invalid Cloudflare stable release.", 400);
  }
  const std::string &version = tag->get_ref<const std::string &>();
  std::string expectedURL =
      std::string(webOrigin) + std::string(kDownloadPath) + version + "/" + platform.assetName;

  const ConnectorError refused(
      "Official Cloudflare archive or SHA-256 digest unavailable. Download refused.", 400);
  auto assets = metadata.find("assets");
  if (assets == metadata.end() || !assets->is_array() ||
      !std::all_of(assets->begin(), assets->end(),
                   [](const nlohmann::json &asset) { return asset.is_object(); })) {
    throw refused;
  }
  auto matches = [&](const nlohmann::json &asset) {
    auto name = asset.find("name");
    return name != asset.end() && name->is_string() && *name == platform.assetName;
  };
  auto asset = std::find_if(assets->begin(), assets->end(), matches);
  if (asset == assets->end()) {
    throw refused;
  }
  auto url = asset->find("browser_download_url");
  auto digest = asset->find("digest");
  if (url == asset->end() || !url->is_string() || *url != expectedURL || digest == asset->end() ||
      !digest->is_string() || !isDigest(digest->get_ref<const std::string &>())) {
    throw refused;
  }
  return {expectedURL, lowerASCII(digest->get_ref<const std::string &>().substr(7)), version};
}

std::string CloudflareInstaller::download(const std::string &url, std::size_t limit) {
  // Unlike the service's isolated sessions, downloads follow redirects (release assets are
  // served from another host) and go through the user's proxy.
  URLSession::Options options;
  options.followRedirects = true;
  options.useProxy = true;
  options.requestTimeout = kRequestTimeout;
  options.resourceTimeout = kResourceTimeout;
  URLSession session(std::move(options));

  URLSession::Request request;
  request.url = url;
  request.headers.emplace_back("User-Agent", kUserAgent);
  std::string body;
  session.perform(
      request,
      [&](const URLSession::Head &head) {
        auto length = announcedLength(head.headers);
        if (head.status != 200 || (length && *length > limit)) {
          throw ConnectorError("Cloudflare download failed or exceeded its size limit.", 400);
        }
      },
      [&](std::string_view bytes) {
        if (bytes.size() > limit - body.size()) {
          throw ConnectorError("Cloudflare download exceeded its size limit.", 400);
        }
        body.append(bytes);
      });
  return body;
}

std::string CloudflareInstaller::sha256(std::string_view bytes) { return sha256Hex(bytes); }

} // namespace pellum
