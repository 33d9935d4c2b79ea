#include "service/EasyTransfer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <stdexcept>

namespace pellum {

void HandleSockets::attach(CURL *handle) {
  {
    std::lock_guard lock(mutex_);
    stopped_ = false;
  }
  curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, open);
  curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, close);
  curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, this);
}

void HandleSockets::stop() noexcept {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  for (int fd : open_) {
    ::shutdown(fd, SHUT_RDWR);
  }
}

curl_socket_t HandleSockets::open(void *user, curlsocktype, curl_sockaddr *address) {
  auto *sockets = static_cast<HandleSockets *>(user);
  std::lock_guard lock(sockets->mutex_);
  if (sockets->stopped_) {
    return CURL_SOCKET_BAD;
  }
  // Close-on-exec: the connector starts child processes, which must not inherit these.
  int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd >= 0) {
    try {
      sockets->open_.push_back(fd);
    } catch (...) {
      ::close(fd);
      return CURL_SOCKET_BAD;
    }
  }
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

int HandleSockets::close(void *user, curl_socket_t fd) {
  auto *sockets = static_cast<HandleSockets *>(user);
  std::lock_guard lock(sockets->mutex_);
  std::erase(sockets->open_, fd);
  return ::close(fd);
}

EasyTransfer::EasyTransfer() : handle_(curl_easy_init()) {
  if (handle_ == nullptr) {
    throw std::runtime_error("libcurl could not create a transfer.");
  }
}

EasyTransfer::~EasyTransfer() { curl_easy_cleanup(handle_); }

std::unique_ptr<EasyTransfer> HandlePool::take() {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<EasyTransfer> easy = std::move(idle_.back());
      idle_.pop_back();
      return easy;
    }
  }
  return std::make_unique<EasyTransfer>();
}

void HandlePool::give(std::unique_ptr<EasyTransfer> easy) noexcept {
  curl_easy_reset(easy->handle());
  std::lock_guard lock(mutex_);
  if (idle_.size() < limit_) {
    try {
      idle_.push_back(std::move(easy));
    } catch (...) {
      // Not kept, then.
    }
  }
}

CurlList::CurlList(const std::vector<std::string> &lines) {
  for (const auto &line : lines) {
    curl_slist *head = list_.release();
    curl_slist *appended = curl_slist_append(head, line.c_str());
    list_.reset(appended != nullptr ? appended : head);
    if (appended == nullptr) {
      throw std::bad_alloc();
    }
  }
}

} // namespace pellum
