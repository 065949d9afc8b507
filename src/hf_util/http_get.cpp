#include "hf_util/http_get.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include <fmt/format.h>

namespace varkel {

namespace {

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool starts_with_ci(std::string_view line, std::string_view prefix) {
  if (line.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

struct Transfer {
  CURL* curl = nullptr;
  HttpSink* sink = nullptr;
  // Header state of the response block being read; reset at every status line
  // because redirects and interim responses bring blocks of their own.
  HttpHead head;
  std::optional<std::string> raw_length;
  bool has_location = false;
  bool lenient = false;        // libcurl's length handling is off
  bool retry_lenient = false;  // libcurl framed the body by a value we refuse
  bool head_accepted = false;
  std::optional<HttpError> failure;
};

size_t on_header(char* buffer, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const size_t total = size * count;
  std::string_view line(buffer, total);
  if (starts_with_ci(line, "http/")) {
    t.head = HttpHead{};
    t.raw_length.reset();
    t.has_location = false;
    return total;
  }
  if (starts_with_ci(line, "content-length:")) {
    if (!t.raw_length) t.raw_length = std::string(trim_blanks(line.substr(15)));
    return total;
  }
  if (starts_with_ci(line, "location:")) {
    t.has_location = true;
    return total;
  }
  if (!trim_blanks(line).empty()) return total;

  // End of one header block.
  long status = 0;
  curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200) return total;                                   // interim response
  if (status >= 300 && status < 400 && t.has_location) return total;  // followed
  t.head.status = status;
  if (status >= 400 && status <= 599) {
    t.failure = HttpError{HttpError::Stage::Request, http_status_text(status)};
    return 0;
  }
  if (t.raw_length) t.head.content_length = parse_content_length(*t.raw_length);
  if (t.raw_length && !t.head.content_length && !t.lenient) {
    curl_off_t framed = -1;
    curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &framed);
    if (framed >= 0) {
      t.retry_lenient = true;
      return 0;
    }
  }
  if (auto refused = t.sink->on_head(t.head)) {
    t.failure = HttpError{HttpError::Stage::Sink, std::move(*refused)};
    return 0;
  }
  t.head_accepted = true;
  return total;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const size_t total = size * count;
  if (!t.head_accepted) return total;  // body of a response we do not use
  if (auto refused = t.sink->on_data(data, total)) {
    t.failure = HttpError{HttpError::Stage::Sink, std::move(*refused)};
    return total == 0 ? 1 : 0;
  }
  return total;
}

}  // namespace

std::optional<uint64_t> parse_content_length(std::string_view value) {
  for (unsigned char c : value)
    if (!(c == '\t' || (c >= 0x20 && c < 0x7F))) return std::nullopt;
  if (!value.empty() && value.front() == '+') value.remove_prefix(1);
  if (value.empty()) return std::nullopt;
  uint64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  return n;
}

std::string http_status_text(long status) { return fmt::format("http status: {}", status); }

namespace {

struct Attempt {
  std::expected<void, HttpError> result;
  bool retry_lenient = false;
};

Attempt attempt(const std::string& url, HttpSink& sink, bool lenient) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) return {std::unexpected(HttpError{HttpError::Stage::Request, "could not create an HTTP client"})};

  Transfer t;
  t.curl = curl.get();
  t.sink = &sink;
  t.lenient = lenient;
  char error_buffer[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_IGNORE_CONTENT_LENGTH, lenient ? 1L : 0L);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, &on_header);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &on_body);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &t);

  const CURLcode code = curl_easy_perform(curl.get());
  if (t.retry_lenient) return {{}, true};
  if (t.failure) return {std::unexpected(std::move(*t.failure))};
  if (code != CURLE_OK) {
    // libcurl refuses a length it cannot read before anything reaches us.
    if (code == CURLE_WEIRD_SERVER_REPLY && !t.head_accepted && !lenient) return {{}, true};
    std::string text = error_buffer[0] ? std::string(error_buffer) : std::string(curl_easy_strerror(code));
    return {std::unexpected(
        HttpError{t.head_accepted ? HttpError::Stage::Body : HttpError::Stage::Request, std::move(text)})};
  }
  if (!t.head_accepted) {
    // A transfer that ended without a final header block: take the status as it stands.
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400 && status <= 599)
      return {std::unexpected(HttpError{HttpError::Stage::Request, http_status_text(status)})};
    t.head.status = status;
    if (auto refused = sink.on_head(t.head))
      return {std::unexpected(HttpError{HttpError::Stage::Sink, std::move(*refused)})};
  }
  return {};
}

}  // namespace

std::expected<void, HttpError> http_get(const std::string& url, HttpSink& sink) {
  global_init_once();
  Attempt first = attempt(url, sink, false);
  if (!first.retry_lenient) return std::move(first.result);
  return attempt(url, sink, true).result;
}

}  // namespace varkel
