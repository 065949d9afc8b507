#pragma once
// A hub stand-in on 127.0.0.1: serves canned responses by path, one thread per
// connection, and can misbehave on request.

#include <atomic>
#include <chrono>
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
  enum class Length { Exact, Missing, Given } length = Length::Exact;
  std::string given_length;             // sent as is with Length::Given
  std::optional<size_t> drop_after;      // close after this many body bytes
  std::chrono::milliseconds delay{0};    // before the head goes out

  static FakeResponse ok(std::string body) {
    FakeResponse r;
    r.body = std::move(body);
    return r;
  }
};

class FakeHub {
 public:
  FakeHub();
  ~FakeHub();
  FakeHub(const FakeHub&) = delete;
  FakeHub& operator=(const FakeHub&) = delete;

  std::string base_url() const;
  void serve(const std::string& path, FakeResponse response);
  // The listing of `repo` is `json`.
  void serve_tree(const std::string& repo, const std::string& json);
  // A file of `repo`.
  void serve_file(const std::string& repo, const std::string& name, FakeResponse response);
  int hits(const std::string& path) const;
  int file_hits(const std::string& repo, const std::string& name) const;
  int total_hits() const;

 private:
  void accept_loop();
  void handle(int fd);

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<std::string, FakeResponse> routes_;
  std::map<std::string, int> hits_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// A handle on `repo` at `hub`, its notice on standard error dropped; throws if it cannot be made.
HfRepo hub_repo(const FakeHub& hub, const std::string& repo);

// A loopback address where nothing listens.
std::string closed_loopback_url();

// Removes proxy settings so that loopback requests go straight out.
void clear_proxy_environment();

}  // namespace varkel::testing
