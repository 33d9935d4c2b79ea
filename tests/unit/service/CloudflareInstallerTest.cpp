#include "service/CloudflareInstaller.h"

#include "platform/Command.h"
#include "service/TransportError.h"
#include "support/ConnectorError.h"
#include "support/Encoding.h"
#include "support/Files.h"

#include "Paths.h"
#include "Refusal.h"
#include "TempDir.h"
#include "TrustedServerTest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>

namespace pellum {
namespace {

using nlohmann::json;
using test::ScopedVariable;
using test::TempDir;
using test::TestHTTPServer;

constexpr const char *kTag = "2025.1.0";
constexpr const char *kFeedPath = "/repos/cloudflare/cloudflared/releases/latest";

const TunnelClientPlatform kMac = TunnelClientPlatform::darwinArchive("arm64");
const TunnelClientPlatform kLinux = TunnelClientPlatform::linuxExecutable("amd64");

using test::refusal;

unsigned mode(const std::filesystem::path &path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

void writeFile(const std::filesystem::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Every name in `directory`.
std::set<std::string> listing(const std::filesystem::path &directory) {
  std::set<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string downloadURL(const std::string &origin, const TunnelClientPlatform &platform,
                        const std::string &tag = kTag) {
  return origin + "/cloudflare/cloudflared/releases/download/" + tag + "/" + platform.assetName;
}

// Release metadata as the feed writes it, with one asset for `platform`.
json release(const std::string &origin, const TunnelClientPlatform &platform,
             const std::string &bytes) {
  return {{"tag_name", kTag},
          {"draft", false},
          {"prerelease", false},
          {"assets", json::array({{{"name", "cloudflared-windows-amd64.exe"},
                                   {"browser_download_url", origin + "/elsewhere"},
                                   {"digest", "sha256:" + std::string(64, '0')}},
                                  {{"name", platform.assetName},
                                   {"browser_download_url", downloadURL(origin, platform)},
                                   {"digest", "sha256:" + sha256Hex(bytes)}}})}};
}

// A gzip tarball holding `members` (paths relative to a scratch folder, "./" kept as given);
// each member's content is `content`, except that "empty" members are empty files.
std::string tarball(const std::vector<std::string> &members, const std::string &content) {
  TempDir scratch;
  std::vector<std::string> arguments = {"-czf", (scratch.path() / "out.tgz").string(), "-C",
                                        (scratch.path() / "in").string()};
  for (const auto &member : members) {
    std::filesystem::path path = scratch.path() / "in" / member;
    std::filesystem::create_directories(path.parent_path());
    writeFile(path, content);
    arguments.push_back(member);
  }
  CommandResult made = command("/usr/bin/tar", arguments, 30, 1 << 20, std::nullopt, true);
  EXPECT_EQ(made.exitStatus, 0) << made.outputBytes;
  return readFile(scratch.path() / "out.tgz");
}

// A release feed and its downloads on one local HTTPS server: answers are set per path.
class CloudflareInstallerTest : public test::TrustedServerTest {
protected:
  void serve(const std::string &path, TestHTTPServer::Response response) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(response);
  }

  // Publishes `bytes` as the asset of `platform` in a valid release.
  void publish(const TunnelClientPlatform &platform, const std::string &bytes) {
    serve(kFeedPath, {200, {}, release(server_.url(), platform, bytes).dump()});
    serve(downloadURL("", platform), {200, {}, bytes});
  }

  CloudflareInstaller installer(const TunnelClientPlatform &platform) {
    return installerAt(server_.url(), platform);
  }

  CloudflareInstaller installerAt(const std::string &origin, const TunnelClientPlatform &platform) {
    CloudflareInstaller::Options options;
    options.apiOrigin = origin;
    options.webOrigin = origin;
    options.platform = platform;
    return CloudflareInstaller(ConfigStore(home_.path() / "config"), options);
  }

  std::filesystem::path directory(const TunnelClientPlatform &platform) {
    return home_.path() / "config" / "bin" / ("native-" + platform.architecture);
  }

  std::size_t requestCount() const { return server_.requests().size(); }

  // Nothing but the manifest and kept executables: no temporary archive or file.
  void expectNoTemporaryFiles(const TunnelClientPlatform &platform) {
    if (!std::filesystem::exists(directory(platform))) {
      return;
    }
    for (const auto &name : listing(directory(platform))) {
      EXPECT_TRUE(name == "installed.json" || name.ends_with("-cloudflared")) << name;
    }
  }

  // A proxy set in the environment must not catch the requests to the local server.
  ScopedVariable noProxy_{"no_proxy", "127.0.0.1,localhost"};
  TempDir home_;
  std::mutex mutex_;
  std::map<std::string, TestHTTPServer::Response> routes_;
  TestHTTPServer server_{
      [this](const TestHTTPServer::Request &request, TestHTTPServer::Exchange &exchange) {
        TestHTTPServer::Response response{404, {}, ""};
        {
          std::lock_guard lock(mutex_);
          auto route = routes_.find(request.target);
          if (route != routes_.end()) {
            response = route->second;
          }
        }
        exchange.respond(response);
      },
      tls()};
};

TEST_F(CloudflareInstallerTest, OnlyStableReleasesAreAccepted) {
  struct Case {
    json tag;
    json draft;
    json prerelease;
    bool accepted;
  };
  const json absent;
  const Case cases[] = {
      {"2025.1.0", false, false, true},
      {"2025.10.12", absent, absent, true},
      {"2025.1.0", false, absent, true},
      {"2025.1.0", "true", 1, true}, // only the boolean true refuses
      {"v2025.1.0", false, false, false},
      {"2025.1", false, false, false},
      {"25.1.0", false, false, false},
      {"2025.1.0\n", false, false, false},
      {"2025.1.0-rc1", false, false, false},
      {"2025..0", false, false, false},
      {"２025.1.0", false, false, false},
      {20250100, false, false, false},
      {absent, false, false, false},
      {"2025.1.0", true, false, false},
      {"2025.1.0", false, true, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.tag.dump() + " draft " + c.draft.dump() + " prerelease " + c.prerelease.dump());
    json metadata = release("https://github.com", kLinux, "bytes");
    metadata.erase("tag_name");
    metadata.erase("draft");
    metadata.erase("prerelease");
    for (const auto &[key, value] : {std::pair{"tag_name", c.tag}, std::pair{"draft", c.draft},
                                     std::pair{"prerelease", c.prerelease}}) {
      if (!value.is_null()) {
        metadata[key] = value;
      }
    }
    if (c.accepted) {
      std::string tag = c.tag.get<std::string>();
      for (auto &asset : metadata["assets"]) {
        asset["browser_download_url"] = downloadURL("https://github.com", kLinux, tag);
      }
      EXPECT_EQ(CloudflareInstaller::releaseAsset(metadata, kLinux).version, tag);
    } else {
      EXPECT_EQ(refusal([&] { CloudflareInstaller::releaseAsset(metadata, kLinux); }),
                "Invalid Cloudflare stable release.");
    }
  }
}

TEST_F(CloudflareInstallerTest, SelectsTheOfficialAssetWithItsDigest) {
  const std::string digest = sha256Hex("bytes");
  for (const auto &platform : {kMac, kLinux}) {
    auto asset = CloudflareInstaller::releaseAsset(release("https://github.com", platform, "bytes"),
                                                   platform);
    EXPECT_EQ(asset.url, "https://github.com/cloudflare/cloudflared/releases/download/2025.1.0/" +
                             platform.assetName);
    EXPECT_EQ(asset.sha256, digest);
    EXPECT_EQ(asset.version, "2025.1.0");
  }
  EXPECT_EQ(kMac.assetName, "cloudflared-darwin-arm64.tgz");
  EXPECT_EQ(kLinux.assetName, "cloudflared-linux-amd64");

  // The feed may write the digest in upper case; it is compared in lower case.
  json upper = release("https://github.com", kMac, "bytes");
  std::string upperDigest = digest;
  std::transform(upperDigest.begin(), upperDigest.end(), upperDigest.begin(), ::toupper);
  upper["assets"][1]["digest"] = "sha256:" + upperDigest;
  EXPECT_EQ(CloudflareInstaller::releaseAsset(upper, kMac).sha256, digest);
}

TEST_F(CloudflareInstallerTest, RefusesAnythingButTheOfficialAsset) {
  const std::string origin = "https://github.com";
  const std::string url = downloadURL(origin, kMac);
  const std::string digest = "sha256:" + sha256Hex("bytes");
  struct Case {
    const char *what;
    json assets; // null: key absent
  };
  const Case cases[] = {
      {"no assets", nullptr},
      {"assets not an array", json::object()},
      {"an asset that is not an object", {"x", {{"name", kMac.assetName}}}},
      {"no asset of that name",
       {{{"name", "cloudflared-darwin-amd64.tgz"}, {"browser_download_url", url}}}},
      {"foreign URL",
       {{{"name", kMac.assetName},
         {"browser_download_url", "https://example.com/cloudflared-darwin-arm64.tgz"},
         {"digest", digest}}}},
      {"URL differing in case",
       {{{"name", kMac.assetName},
         {"browser_download_url",
          "https://github.com/Cloudflare/cloudflared/releases/download/2025.1.0/" + kMac.assetName},
         {"digest", digest}}}},
      {"URL with a query",
       {{{"name", kMac.assetName}, {"browser_download_url", url + "?x=1"}, {"digest", digest}}}},
      {"no digest", {{{"name", kMac.assetName}, {"browser_download_url", url}}}},
      {"short digest",
       {{{"name", kMac.assetName},
         {"browser_download_url", url},
         {"digest", "sha256:" + std::string(63, 'a')}}}},
      {"digest of another kind",
       {{{"name", kMac.assetName},
         {"browser_download_url", url},
         {"digest", "sha512:" + std::string(64, 'a')}}}},
      {"digest not hexadecimal",
       {{{"name", kMac.assetName},
         {"browser_download_url", url},
         {"digest", "sha256:" + std::string(63, 'a') + "g"}}}},
      {"only the first asset of the name counts",
       {{{"name", kMac.assetName},
         {"browser_download_url", origin + "/mirror"},
         {"digest", digest}},
        {{"name", kMac.assetName}, {"browser_download_url", url}, {"digest", digest}}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    json metadata = {{"tag_name", kTag}};
    if (!c.assets.is_null()) {
      metadata["assets"] = c.assets;
    }
    EXPECT_EQ(refusal([&] { CloudflareInstaller::releaseAsset(metadata, kMac, origin); }),
              "Official Cloudflare archive or SHA-256 digest unavailable. Download refused.");
  }
}

TEST_F(CloudflareInstallerTest, DownloadsOnlyCompleteAnswersWithinTheLimit) {
  constexpr std::size_t limit = 1000;
  serve("/exact", {200, {}, std::string(limit, 'x')});
  serve("/over", {200, {}, std::string(limit + 1, 'x')});
  serve("/partial", {203, {}, "x"});
  serve("/moved", {302, {{"Location", server_.url("/exact")}}, "moved"});
  TestHTTPServer unannounced(
      [](const TestHTTPServer::Request &request, TestHTTPServer::Exchange &exchange) {
        exchange.startChunked(200, {});
        exchange.chunk(std::string(limit - 1, 'y'));
        exchange.chunk(request.target == "/over" ? "yz" : "y");
        exchange.finishChunked();
      },
      tls());

  EXPECT_EQ(CloudflareInstaller::download(server_.url("/exact"), limit), std::string(limit, 'x'));
  EXPECT_EQ(CloudflareInstaller::download(server_.url("/moved"), limit), std::string(limit, 'x'));
  EXPECT_EQ(CloudflareInstaller::download(unannounced.url("/exact"), limit),
            std::string(limit, 'y'));
  EXPECT_EQ(refusal([&] { CloudflareInstaller::download(server_.url("/over"), limit); }),
            "Cloudflare download failed or exceeded its size limit.");
  EXPECT_EQ(refusal([&] { CloudflareInstaller::download(unannounced.url("/over"), limit); }),
            "Cloudflare download exceeded its size limit.");
  EXPECT_EQ(refusal([&] { CloudflareInstaller::download(server_.url("/partial"), limit); }),
            "Cloudflare download failed or exceeded its size limit.");
  EXPECT_EQ(refusal([&] { CloudflareInstaller::download(server_.url("/missing"), limit); }),
            "Cloudflare download failed or exceeded its size limit.");

  auto received = server_.requests();
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(received[0].header("user-agent"), "Pellum-macOS");
  EXPECT_EQ(received[1].target, "/moved");
  EXPECT_EQ(received[2].target, "/exact"); // the redirect was followed
}

TEST_F(CloudflareInstallerTest, DownloadsGoThroughTheUsersProxy) {
  TestHTTPServer proxy(TestHTTPServer::reply({403, {}, ""}));
  ScopedVariable httpsProxy("https_proxy", proxy.url());
  ScopedVariable noProxy("no_proxy", std::nullopt);
  ScopedVariable noProxyUpper("NO_PROXY", std::nullopt);
  EXPECT_THROW(CloudflareInstaller::download("https://downloads.invalid/asset", 100),
               TransportError);
  auto received = proxy.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].method, "CONNECT");
  EXPECT_EQ(received[0].target, "downloads.invalid:443");
}

TEST_F(CloudflareInstallerTest, InstallsTheExecutableAndReusesItWithoutNetwork) {
  const std::string executable = "#!/bin/sh\necho tunnel\n";
  publish(kLinux, executable);
  std::filesystem::path installed = installer(kLinux).ensure(false);

  std::filesystem::path dir = directory(kLinux);
  EXPECT_EQ(installed, dir / "2025.1.0-cloudflared");
  EXPECT_EQ(readFile(installed), executable);
  EXPECT_EQ(readFile(dir / "installed.json"),
            R"({"binaryHash":")" + sha256Hex(executable) + R"(","version":"2025.1.0"})");
  EXPECT_EQ(mode(home_.path() / "config"), 0700u);
  EXPECT_EQ(mode(dir.parent_path()), 0700u);
  EXPECT_EQ(mode(dir), 0700u);
  EXPECT_EQ(mode(installed), 0700u);
  EXPECT_EQ(mode(dir / "installed.json"), 0600u);
  EXPECT_EQ(listing(dir), (std::set<std::string>{"installed.json", "2025.1.0-cloudflared"}));
  ASSERT_EQ(requestCount(), 2u);
  EXPECT_EQ(server_.requests()[0].target, kFeedPath);

  // Kept and intact: no network at all, even with the feed gone.
  std::string origin = server_.url();
  server_.stop();
  EXPECT_EQ(installerAt(origin, kLinux).ensure(false), installed);
  // An update always asks the feed.
  EXPECT_THROW(installerAt(origin, kLinux).ensure(true), TransportError);
  EXPECT_EQ(readFile(installed), executable);
}

TEST_F(CloudflareInstallerTest, DamagedKeptFilesMeanDownloadingAgain) {
  const std::string executable = "tunnel client bytes";
  publish(kLinux, executable);
  const std::filesystem::path dir = directory(kLinux);
  const std::filesystem::path kept = dir / "2025.1.0-cloudflared";
  const std::filesystem::path manifest = dir / "installed.json";
  const std::string hash = sha256Hex(executable);
  struct Case {
    const char *what;
    std::function<void()> damage;
  };
  const Case cases[] = {
      {"executable changed", [&] { writeFile(kept, "tampered"); }},
      {"executable missing", [&] { std::filesystem::remove(kept); }},
      {"executable not executable",
       [&] {
         std::filesystem::permissions(kept, std::filesystem::perms::owner_read |
                                                std::filesystem::perms::owner_write);
       }},
      {"manifest missing", [&] { std::filesystem::remove(manifest); }},
      {"manifest not JSON", [&] { writeFile(manifest, "{"); }},
      {"manifest not an object", [&] { writeFile(manifest, "[]"); }},
      {"manifest value not a string",
       [&] {
         writeFile(manifest, json({{"version", kTag}, {"binaryHash", hash}, {"n", 1}}).dump());
       }},
      {"hash missing",
       [&] {
         writeFile(manifest, json({{"version", kTag}}).dump());
       }},
      {"hash in upper case",
       [&] {
         std::string upper = hash;
         std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
         writeFile(manifest, json({{"version", kTag}, {"binaryHash", upper}}).dump());
       }},
      {"version malformed",
       [&] {
         std::filesystem::copy_file(kept, dir / "v2025.1.0-cloudflared");
         writeFile(manifest, json({{"version", "v2025.1.0"}, {"binaryHash", hash}}).dump());
       }},
  };
  installer(kLinux).ensure(false);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    c.damage();
    std::size_t before = requestCount();
    EXPECT_EQ(installer(kLinux).ensure(false), kept);
    EXPECT_EQ(requestCount(), before + 2);
    EXPECT_EQ(readFile(kept), executable);
    EXPECT_EQ(mode(kept), 0700u);
    EXPECT_EQ(readFile(manifest), json({{"version", kTag}, {"binaryHash", hash}}).dump());
  }
}

TEST_F(CloudflareInstallerTest, InstallPutsAGivenFileInPlace) {
  std::string origin = server_.url();
  server_.stop();
  std::filesystem::path installed = installerAt(origin, kLinux).install("2024.12.1", "fake");
  EXPECT_EQ(installerAt(origin, kLinux).ensure(false), installed);
  EXPECT_EQ(installed.filename(), "2024.12.1-cloudflared");
  EXPECT_EQ(mode(installed), 0700u);
  EXPECT_EQ(refusal([&] { installerAt(origin, kLinux).install("latest", "fake"); }),
            "Invalid Cloudflare stable release.");

  // The same through the program that demos use.
  TempDir other;
  writeFile(other.path() / "tunnel", "other fake");
  CommandResult run = command(
      (test::binDir() / "install_tunnel_client").string(),
      {(other.path() / "config").string(), (other.path() / "tunnel").string()}, 30, 1 << 16);
  EXPECT_EQ(run.exitStatus, 0);
  CloudflareInstaller::Options options;
  options.apiOrigin = options.webOrigin = origin;
  std::filesystem::path kept =
      CloudflareInstaller(ConfigStore(other.path() / "config"), options).ensure(false);
  EXPECT_EQ(run.outputBytes, kept.string() + "\n");
  EXPECT_EQ(readFile(kept), "other fake");
}

TEST_F(CloudflareInstallerTest, RefusesBadMetadataAndMismatchedDownloads) {
  serve(kFeedPath, {200, {}, "[]"});
  EXPECT_EQ(refusal([&] { installer(kLinux).ensure(false); }), "Invalid Cloudflare metadata.");
  serve(kFeedPath, {200, {}, "not json"});
  EXPECT_THROW(installer(kLinux).ensure(false), json::parse_error);
  serve(kFeedPath, {200, {}, std::string(CloudflareInstaller::kMetadataLimit + 1, ' ')});
  EXPECT_EQ(refusal([&] { installer(kLinux).ensure(false); }),
            "Cloudflare download failed or exceeded its size limit.");

  publish(kLinux, "official");
  serve(downloadURL("", kLinux), {200, {}, "tampered"});
  EXPECT_EQ(refusal([&] { installer(kLinux).ensure(false); }),
            "Cloudflare archive failed SHA-256 verification.");
  EXPECT_EQ(listing(directory(kLinux)), std::set<std::string>{});

  publish(kLinux, "");
  EXPECT_EQ(refusal([&] { installer(kLinux).ensure(false); }),
            "Cannot extract Cloudflare executable.");
  EXPECT_EQ(listing(directory(kLinux)), std::set<std::string>{});
}

TEST_F(CloudflareInstallerTest, ExtractsTheOneExecutableOfAnArchive) {
  const std::string executable = "mac tunnel client";
  struct Case {
    std::vector<std::string> members;
    std::string expected; // empty: installed
  };
  const Case cases[] = {
      {{"cloudflared"}, ""},
      {{"./cloudflared"}, ""},
      {{"LICENSE", "cloudflared", "docs/cloudflared"}, ""},
      {{"cloudflared", "./cloudflared"}, "Invalid Cloudflare archive contents."},
      {{"bin/cloudflared"}, "Invalid Cloudflare archive contents."},
      {{"cloudflared.exe"}, "Invalid Cloudflare archive contents."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.members.front() + " … " + c.members.back());
    std::filesystem::remove_all(directory(kMac));
    publish(kMac, tarball(c.members, executable));
    if (c.expected.empty()) {
      std::filesystem::path installed = installer(kMac).ensure(true);
      EXPECT_EQ(installed, directory(kMac) / "2025.1.0-cloudflared");
      EXPECT_EQ(readFile(installed), executable);
      EXPECT_EQ(mode(installed), 0700u);
    } else {
      EXPECT_EQ(refusal([&] { installer(kMac).ensure(true); }), c.expected);
      EXPECT_EQ(listing(directory(kMac)), std::set<std::string>{});
    }
    expectNoTemporaryFiles(kMac);
  }

  publish(kMac, "not a tarball");
  EXPECT_EQ(refusal([&] { installer(kMac).ensure(true); }), "Invalid Cloudflare archive contents.");
  publish(kMac, tarball({"cloudflared"}, ""));
  EXPECT_EQ(refusal([&] { installer(kMac).ensure(true); }),
            "Cannot extract Cloudflare executable.");
  expectNoTemporaryFiles(kMac);
  EXPECT_EQ(listing(directory(kMac)), std::set<std::string>{});

  // A tar program that cannot be started: its launch error, and still no archive left behind.
  publish(kMac, tarball({"cloudflared"}, executable));
  CloudflareInstaller::Options options;
  options.apiOrigin = options.webOrigin = server_.url();
  options.platform = kMac;
  options.tarPath = (home_.path() / "no-tar").string();
  EXPECT_THROW(CloudflareInstaller(ConfigStore(home_.path() / "config"), options).ensure(true),
               std::system_error);
  EXPECT_EQ(listing(directory(kMac)), std::set<std::string>{});
}

} // namespace
} // namespace pellum
