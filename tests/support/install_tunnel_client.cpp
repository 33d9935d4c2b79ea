// Puts a given file in place as the configuration directory's installed, verified tunnel client
// (executable and manifest), so that the connector finds it without any network access.
//
//   install_tunnel_client <configuration directory> <executable> [version]
//
// The version defaults to 2025.1.0. Prints the installed executable's path.

#include "config/ConfigStore.h"
#include "service/CloudflareInstaller.h"
#include "support/Files.h"

#include <exception>
#include <iostream>

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    std::cerr << "usage: install_tunnel_client <configuration directory> <executable> [version]\n";
    return 2;
  }
  try {
    pellum::CloudflareInstaller installer{pellum::ConfigStore(std::filesystem::path(argv[1]))};
    std::cout
        << installer.install(argc == 4 ? argv[3] : "2025.1.0", pellum::readFile(argv[2])).string()
        << "\n";
    return 0;
  } catch (const std::exception &error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
}
