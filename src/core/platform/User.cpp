#include "platform/User.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace pellum {

namespace {

template <typename Field> std::optional<std::string> userRecordField(Field field) {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> storage(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd record{};
  passwd *found = nullptr;
  while (getpwuid_r(getuid(), &record, storage.data(), storage.size(), &found) == ERANGE &&
         storage.size() < (1u << 20)) {
    storage.resize(storage.size() * 2);
  }
  if (found == nullptr || found->*field == nullptr || *(found->*field) == '\0') {
    return std::nullopt;
  }
  return std::string(found->*field);
}

} // namespace

std::optional<std::string> userLoginShell() { return userRecordField(&passwd::pw_shell); }

std::filesystem::path homeDirectory() {
  if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return home;
  }
  return userRecordField(&passwd::pw_dir).value_or("/");
}

} // namespace pellum
