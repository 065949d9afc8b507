#include "hf_util/fake_hub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace varkel::testing {

namespace {

int loopback_socket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("bind");
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

bool send_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void clear_proxy_environment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    ::unsetenv(name);
  ::setenv("no_proxy", "127.0.0.1,localhost", 1);
  ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
}

HfRepo hub_repo(const FakeHub& hub, const std::string& repo) {
  ::testing::internal::CaptureStderr();
  auto handle = HfRepo::from_hf(repo, hub.base_url());
  ::testing::internal::GetCapturedStderr();
  if (!handle) throw std::runtime_error(handle.error());
  return std::move(*handle);
}

std::string closed_loopback_url() {
  int port = 0;
  int fd = loopback_socket(port);
  ::close(fd);  // bound but never listening: connections are refused
  return fmt::format("http://127.0.0.1:{}", port);
}

FakeHub::FakeHub() {
  clear_proxy_environment();
  listen_fd_ = loopback_socket(port_);
  if (::listen(listen_fd_, 64) != 0) throw std::runtime_error("listen");
  acceptor_ = std::thread([this] { accept_loop(); });
}

FakeHub::~FakeHub() {
  stop_ = true;
  acceptor_.join();
  ::close(listen_fd_);
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& w : workers) w.join();
}

std::string FakeHub::base_url() const { return fmt::format("http://127.0.0.1:{}", port_); }

void FakeHub::serve(const std::string& path, FakeResponse response) {
  std::lock_guard lock(mutex_);
  routes_[path] = std::move(response);
}

void FakeHub::serve_tree(const std::string& repo, const std::string& json) {
  serve(fmt::format("/api/models/{}/tree/main", repo), FakeResponse::ok(json));
}

void FakeHub::serve_file(const std::string& repo, const std::string& name, FakeResponse response) {
  serve(fmt::format("/{}/resolve/main/{}", repo, name), std::move(response));
}

int FakeHub::hits(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = hits_.find(path);
  return it == hits_.end() ? 0 : it->second;
}

int FakeHub::file_hits(const std::string& repo, const std::string& name) const {
  return hits(fmt::format("/{}/resolve/main/{}", repo, name));
}

int FakeHub::total_hits() const {
  std::lock_guard lock(mutex_);
  int total = 0;
  for (const auto& [path, n] : hits_) total += n;
  return total;
}

void FakeHub::accept_loop() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    workers_.emplace_back([this, fd] {
      handle(fd);
      ::close(fd);
    });
  }
}

void FakeHub::handle(int fd) {
  std::string request;
  char chunk[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    request.append(chunk, static_cast<size_t>(n));
  }
  // "GET /path HTTP/1.1"
  size_t start = request.find(' ');
  size_t end = request.find(' ', start + 1);
  if (start == std::string::npos || end == std::string::npos) return;
  std::string path = request.substr(start + 1, end - start - 1);

  FakeResponse response;
  {
    std::lock_guard lock(mutex_);
    ++hits_[path];
    auto it = routes_.find(path);
    if (it != routes_.end()) {
      response = it->second;
    } else {
      response.status = 404;
      response.body = "no such route";
    }
  }
  if (response.delay.count() > 0) std::this_thread::sleep_for(response.delay);

  const char* reason = response.status == 200 ? "OK" : response.status == 404 ? "Not Found" : "Status";
  std::string head = fmt::format("HTTP/1.1 {} {}\r\nConnection: close\r\n", response.status, reason);
  switch (response.length) {
    case FakeResponse::Length::Exact: head += fmt::format("Content-Length: {}\r\n", response.body.size()); break;
    case FakeResponse::Length::Given: head += fmt::format("Content-Length: {}\r\n", response.given_length); break;
    case FakeResponse::Length::Missing: break;
  }
  head += "\r\n";
  if (!send_all(fd, head.data(), head.size())) return;
  size_t body_bytes = response.drop_after ? std::min(*response.drop_after, response.body.size()) : response.body.size();
  send_all(fd, response.body.data(), body_bytes);
  ::shutdown(fd, SHUT_WR);
}

}  // namespace varkel::testing
