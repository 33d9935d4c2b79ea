#include "FakeState.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace pellum::test {

std::optional<std::string> readText(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const std::filesystem::path &path, const std::string &text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void appendCall(const std::filesystem::path &log, const std::vector<std::string> &words) {
  std::string line;
  for (const std::string &word : words) {
    line += (line.empty() ? "" : " ") + word;
  }
  std::ofstream(log, std::ios::binary | std::ios::app) << line << '\n';
}

std::vector<std::string> readCalls(const std::filesystem::path &log) {
  std::vector<std::string> lines;
  std::istringstream in(readText(log).value_or(""));
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

bool takeOne(const std::filesystem::path &path) {
  std::optional<std::string> text = readText(path);
  int count = text ? std::atoi(text->c_str()) : 0;
  if (count <= 0) {
    return false;
  }
  writeText(path, std::to_string(count - 1));
  return true;
}

std::filesystem::path fakeStateDirectory() {
  const char *directory = std::getenv(kFakeStateVariable);
  if (directory == nullptr || *directory == '\0') {
    std::fprintf(stderr, "%s is not set\n", kFakeStateVariable);
    std::exit(70);
  }
  return directory;
}

} // namespace pellum::test
