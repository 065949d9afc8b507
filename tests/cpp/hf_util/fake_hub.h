#pragma once
// A hub stand-in on 127.0.0.1: canned responses by path, one thread per connection.

#include <arpa/inet.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hf_util/hf_repo.h"

namespace varkel::testing {

struct FakeResponse {
  int status = 200;
  std::string body;
  std::optional<size_t> drop_after;    // close after this many body bytes
  std::chrono::milliseconds delay{0};  // before the head goes out
  std::chrono::milliseconds hold{0};   // silence on the open connection after the last byte
  std::optional<std::string> raw;      // sent as is instead of a head and `body`
  size_t gate_at = 0;                  // with `gate`: bytes of `raw` sent before it opens
  std::function<bool()> gate;          // the rest of `raw` waits until this holds (or the hub goes away)
  bool cut_at_gate = false;            // when the gate opens the connection closes, the rest unsent
  static FakeResponse ok(std::string body, std::chrono::milliseconds delay = {}) {
    FakeResponse r;
    r.body = std::move(body);
    r.delay = delay;
    return r;
  }
  static FakeResponse dropped(std::string body, size_t after) {
    FakeResponse r = ok(std::move(body));
    r.drop_after = after;
    return r;
  }
  // `bytes` as the whole response, then the connection stays open and silent for `hold`.
  static FakeResponse verbatim(std::string bytes, std::chrono::milliseconds hold = {}) {
    FakeResponse r;
    r.hold = hold;
    r.raw = std::move(bytes);
    return r;
  }
  // The first `at` bytes at once, the rest when `gate` holds.
  static FakeResponse gated(std::string bytes, size_t at, std::function<bool()> gate) {
    FakeResponse r = verbatim(std::move(bytes));
    r.gate_at = at;
    r.gate = std::move(gate);
    return r;
  }
};

class FakeHub {
 public:
  FakeHub() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      ::unsetenv(name);
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 64) != 0)
      throw std::runtime_error("listen");
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~FakeHub() {
    stop_ = true;
    acceptor_.join();
    ::close(fd_);
    for (auto& w : workers_) w.join();
  }
  std::string base_url() const { return fmt::format("http://127.0.0.1:{}", port_); }
  void serve(const std::string& path, FakeResponse r) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(r);
  }
  void serve_tree(const std::string& repo, const std::string& json) {
    serve(fmt::format("/api/models/{}/tree/main", repo), FakeResponse::ok(json));
  }
  void serve_file(const std::string& repo, const std::string& name, FakeResponse r) {
    serve(fmt::format("/{}/resolve/main/{}", repo, name), std::move(r));
  }
  int total_hits() const { return hits_; }
  // Requests for `name` of `repo` so far.
  int file_hits(const std::string& repo, const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = path_hits_.find(fmt::format("/{}/resolve/main/{}", repo, name));
    return it == path_hits_.end() ? 0 : it->second;
  }

 private:
  void accept_loop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0)
        workers_.emplace_back([this, fd] { handle(fd), ::close(fd); });
    }
  }
  static bool send_all(int fd, const char* data, size_t size) {
    for (ssize_t n; size > 0; data += n, size -= static_cast<size_t>(n))
      if ((n = ::send(fd, data, size, MSG_NOSIGNAL)) <= 0) return false;
    return true;
  }
  void handle(int fd) {
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      request.append(chunk, static_cast<size_t>(n));
    }
    size_t start = request.find(' '), end = request.find(' ', start + 1);
    std::string path = request.substr(start + 1, end - start - 1);
    FakeResponse r = FakeResponse::ok("no such route");
    r.status = 404;
    ++hits_;
    if (std::lock_guard lock(mutex_); ++path_hits_[path], routes_.contains(path)) r = routes_[path];
    std::this_thread::sleep_for(r.delay);
    if (r.raw) {
      const size_t at = r.gate ? std::min(r.gate_at, r.raw->size()) : r.raw->size();
      if (send_all(fd, r.raw->data(), at) && r.gate) {
        // A gate that never opens must not hang the test: it gives up after a while.
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop_ && !r.gate() && std::chrono::steady_clock::now() < give_up)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!r.cut_at_gate) send_all(fd, r.raw->data() + at, r.raw->size() - at);
      }
    } else {
      std::string head = fmt::format("HTTP/1.1 {} {}\r\nConnection: close\r\nContent-Length: {}\r\n\r\n",
                                     r.status, r.status == 200 ? "OK" : "Not Found", r.body.size());
      if (send_all(fd, head.data(), head.size()))
        send_all(fd, r.body.data(), std::min(r.drop_after.value_or(r.body.size()), r.body.size()));
    }
    // A held connection ends early when the hub goes away.
    for (auto until = std::chrono::steady_clock::now() + r.hold; !stop_ && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::shutdown(fd, SHUT_WR);
  }

  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<std::string, FakeResponse> routes_;
  std::map<std::string, int> path_hits_;
  std::atomic<int> hits_{0};
  std::vector<std::thread> workers_;  // touched by the acceptor only until it is joined
  std::thread acceptor_;
};

// A handle on `repo` at `hub`, its notice on standard error dropped.
inline HfRepo hub_repo(const FakeHub& hub, const std::string& repo) {
  ::testing::internal::CaptureStderr();
  auto handle = HfRepo::from_hf(repo, hub.base_url());
  ::testing::internal::GetCapturedStderr();
  if (!handle) throw std::runtime_error(handle.error());
  return std::move(*handle);
}

}  // namespace varkel::testing
