#include "hf_util/http_get.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace varkel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int MAX_REDIRECTS = 5;
// How long the thread waits for the socket before it looks at the interrupt
// check and the stall limit again.
constexpr std::chrono::milliseconds POLL_INTERVAL{50};

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

// Calls `take` with each non-empty element of a comma-separated header list,
// blanks around it removed.
template <class Take>
void for_each_list_element(std::string_view list, Take&& take) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (std::string_view element = trim_blanks(list.substr(0, comma)); !element.empty()) take(element);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// One request to one URL. Collects the header block being read and decides on
// it once the blank line ends it. Interim (1xx) responses bring blocks of their
// own; only the first line of a block is its status line, so a header that
// merely looks like one ("HTTP/1.1: 200") stays a header.
struct Exchange {
  CURL* curl = nullptr;
  HttpSink* sink = nullptr;

  std::vector<std::string> fields;  // header lines of the block, folded lines joined
  std::vector<std::string> lengths;  // every "content-length" value, in order
  std::vector<std::string> codings;  // every transfer coding, lower case, in order
  std::string location;
  // A framing field of the block continued on another line: libcurl reads
  // such a field its own way, so the body's framing would be a guess.
  std::optional<std::string> folded_framing;

  bool block_start = true;  // the next header line is a status line
  bool head_accepted = false;
  std::optional<uint64_t> remaining;  // body bytes still due when the length frames the body
  bool complete = false;              // the framed body is in; the transfer was ended here
  std::optional<std::string> redirect;
  std::optional<HttpError> failure;
  bool progressed = false;  // bytes arrived since the loop last looked

  // Takes one line of the block; a line that starts with a blank continues
  // the field before it, the break and the blanks around it read as one space.
  void add_line(std::string_view line) {
    if (!fields.empty() && (line.front() == ' ' || line.front() == '\t')) {
      for (std::string_view framing : {"content-length", "transfer-encoding"})
        if (starts_with_ci(fields.back(), framing) && fields.back()[framing.size()] == ':') folded_framing = framing;
      fields.back().append(1, ' ').append(trim_blanks(line));
    } else {
      fields.emplace_back(trim_blanks(line));
    }
  }

  // Reads what the framing needs from the block's fields, and forgets them.
  void read_fields() {
    lengths.clear();
    codings.clear();
    location.clear();
    for (std::string_view line : fields) {
      if (starts_with_ci(line, "content-length:")) {
        lengths.emplace_back(trim_blanks(line.substr(15)));
      } else if (starts_with_ci(line, "transfer-encoding:")) {
        for_each_list_element(trim_blanks(line.substr(18)), [&](std::string_view coding) {
          std::string lower(coding);
          std::ranges::transform(lower, lower.begin(),
                                 [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
          codings.push_back(std::move(lower));
        });
      } else if (starts_with_ci(line, "location:")) {
        location = trim_blanks(line.substr(9));
      }
    }
    fields.clear();
  }

  void fail(std::string text) { failure = HttpError{HttpError::Stage::Request, std::move(text)}; }

  // Decides on a complete header block; false ends the transfer.
  bool end_of_block() {
    const std::optional<std::string> folded = std::exchange(folded_framing, std::nullopt);
    read_fields();
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) {  // interim response
      block_start = true;
      return true;
    }
    if (is_redirect(status) && !location.empty()) {
      redirect = location;
      return false;
    }
    // We ask for the whole resource, unconditionally and without a range, so
    // only a 200 carries it: not a 206's part, not a 204's nothing, not a
    // redirect with nowhere to go, not an error.
    if (status != 200) {
      fail(http_status_text(status));
      return false;
    }
    if (folded) {
      fail(fmt::format("folded {} header", *folded));
      return false;
    }
    // Only chunked frames a body here; any other coding is one we never asked for.
    const bool chunked = codings.size() == 1 && codings.front() == "chunked";
    if (!codings.empty() && !chunked) {
      fail(fmt::format("unsupported transfer coding: {}", fmt::join(codings, ", ")));
      return false;
    }
    auto length = framing_length();
    // With chunked the length frames nothing: a broken one only leaves the bar without a length.
    if (!length && !chunked) {
      fail(std::move(length.error()));
      return false;
    }
    HttpHead head{status, length.value_or(std::nullopt)};
    if (auto refused = sink->on_head(head)) {
      failure = HttpError{HttpError::Stage::Sink, std::move(*refused)};
      return false;
    }
    head_accepted = true;
    // Chunked frames the body itself.
    if (chunked || !head.content_length) return true;
    remaining = head.content_length;
    complete = *remaining == 0;
    return !complete;
  }

  // The one length all "content-length" values agree on, none without any,
  // or the reason the body cannot be framed.
  std::expected<std::optional<uint64_t>, std::string> framing_length() const {
    std::optional<uint64_t> agreed;
    for (const std::string& value : lengths) {
      auto n = parse_content_length_field(value);
      if (!n) return std::unexpected(fmt::format("invalid content-length: {}", value));
      if (agreed && *agreed != *n)
        return std::unexpected(fmt::format("differing content-length headers: {} and {}", lengths.front(), value));
      agreed = n;
    }
    return agreed;
  }
};

size_t on_header(char* buffer, size_t size, size_t count, void* user) {
  auto& x = *static_cast<Exchange*>(user);
  const size_t total = size * count;
  x.progressed = true;
  if (x.head_accepted) return total;  // trailers of a chunked body
  std::string_view line(buffer, total);
  // The status line; libcurl reads its code.
  if (line.empty() || std::exchange(x.block_start, false)) return total;
  // The end of the block, as libcurl finds it: a line that starts with the
  // line break. A line of blanks is a folded continuation, not the end.
  if (line.front() == '\r' || line.front() == '\n') return x.end_of_block() ? total : 0;
  x.add_line(line);
  return total;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto& x = *static_cast<Exchange*>(user);
  const size_t total = size * count;
  x.progressed = true;
  if (!x.head_accepted) return total;  // body of a response we do not use
  // Bytes past a framed body are not part of it.
  const size_t take = x.remaining ? static_cast<size_t>(std::min<uint64_t>(total, *x.remaining)) : total;
  if (auto refused = x.sink->on_data(data, take)) {
    x.failure = HttpError{HttpError::Stage::Sink, std::move(*refused)};
    return total == 0 ? 1 : 0;
  }
  if (x.remaining) {
    *x.remaining -= take;
    // Ends the transfer: the connection may stay open behind a complete body.
    if (*x.remaining == 0) {
      x.complete = true;
      return 0;
    }
  }
  return total;
}

// A handle in a multi stack of its own, so that the calling thread can look
// at the clock and the interrupt check while it waits.
class MultiTransfer {
 public:
  MultiTransfer() : easy_(curl_easy_init()), multi_(curl_multi_init()) {
    if (easy_ && multi_) added_ = curl_multi_add_handle(multi_, easy_) == CURLM_OK;
  }
  ~MultiTransfer() {
    if (added_) curl_multi_remove_handle(multi_, easy_);
    if (easy_) curl_easy_cleanup(easy_);
    if (multi_) curl_multi_cleanup(multi_);
  }
  MultiTransfer(const MultiTransfer&) = delete;
  MultiTransfer& operator=(const MultiTransfer&) = delete;

  bool usable() const { return added_; }
  CURL* easy() const { return easy_; }
  CURLM* multi() const { return multi_; }

  // The transfer's result once it has ended.
  CURLcode result() const {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left))
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_) return msg->data.result;
    return CURLE_OK;
  }

 private:
  CURL* easy_;
  CURLM* multi_;
  bool added_ = false;
};

// What one request ends with: a redirect to follow, or nothing more to do.
using ExchangeResult = std::expected<std::optional<std::string>, HttpError>;

ExchangeResult exchange(const std::string& url, HttpSink& sink, const TransferControl& control) {
  Exchange x;
  x.sink = &sink;
  char error_buffer[CURL_ERROR_SIZE] = {};
  {
    MultiTransfer transfer;
    if (!transfer.usable())
      return std::unexpected(HttpError{HttpError::Stage::Request, "could not create an HTTP client"});
    CURL* curl = transfer.easy();
    x.curl = curl;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);  // a proxy's tunnel answer is not ours
    curl_easy_setopt(curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &x);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &x);

    Clock::time_point last_byte = Clock::now();
    for (;;) {
      int running = 0;
      if (CURLMcode code = curl_multi_perform(transfer.multi(), &running); code != CURLM_OK)
        return std::unexpected(HttpError{HttpError::Stage::Request, curl_multi_strerror(code)});
      if (running == 0) break;
      if (control.interrupted) {
        if (auto pending = control.interrupted())
          return std::unexpected(HttpError{HttpError::Stage::Interrupted, std::move(*pending)});
      }
      const Clock::time_point now = Clock::now();
      if (std::exchange(x.progressed, false)) last_byte = now;
      const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_byte);
      if (silent >= control.stall_limit)
        return std::unexpected(HttpError{x.head_accepted ? HttpError::Stage::Body : HttpError::Stage::Request,
                                         stall_text(control.stall_limit)});
      const auto wait = std::clamp(control.stall_limit - silent, std::chrono::milliseconds(1), POLL_INTERVAL);
      if (CURLMcode code = curl_multi_poll(transfer.multi(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
          code != CURLM_OK)
        return std::unexpected(HttpError{HttpError::Stage::Request, curl_multi_strerror(code)});
    }
    const CURLcode code = transfer.result();
    if (x.failure) return std::unexpected(std::move(*x.failure));
    if (x.redirect) return std::move(x.redirect);
    if (x.complete) return std::nullopt;
    if (code != CURLE_OK) {
      std::string text = error_buffer[0] ? std::string(error_buffer) : std::string(curl_easy_strerror(code));
      return std::unexpected(
          HttpError{x.head_accepted ? HttpError::Stage::Body : HttpError::Stage::Request, std::move(text)});
    }
  }
  // The connection closed without an error of its own.
  if (!x.head_accepted)
    return std::unexpected(
        HttpError{HttpError::Stage::Request, "connection closed before the response headers were complete"});
  if (x.remaining)
    return std::unexpected(HttpError{HttpError::Stage::Body,
                                     fmt::format("transfer closed with {} bytes remaining to read", *x.remaining)});
  return std::nullopt;
}

// `location` taken relative to `base`, as a browser would.
std::optional<std::string> resolve_location(const std::string& base, const std::string& location) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return std::nullopt;
  if (curl_url_set(url.get(), CURLUPART_URL, location.c_str(), CURLU_URLENCODE | CURLU_ALLOW_SPACE) != CURLUE_OK)
    return std::nullopt;
  char* text = nullptr;
  if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK) return std::nullopt;
  std::string resolved(text);
  curl_free(text);
  return resolved;
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

std::optional<uint64_t> parse_content_length_field(std::string_view value) {
  std::optional<uint64_t> agreed;
  bool valid = true;
  for_each_list_element(value, [&](std::string_view element) {
    auto n = parse_content_length(element);
    if (!n || (agreed && *agreed != *n)) valid = false;
    agreed = n;
  });
  if (!valid) return std::nullopt;
  return agreed;
}

std::string http_status_text(long status) { return fmt::format("http status: {}", status); }

std::expected<void, HttpError> http_get(const std::string& url, HttpSink& sink, const TransferControl& control) {
  global_init_once();
  std::string current = url;
  for (int redirects = 0;; ++redirects) {
    ExchangeResult got = exchange(current, sink, control);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) return {};
    if (redirects == MAX_REDIRECTS)
      return std::unexpected(
          HttpError{HttpError::Stage::Request, fmt::format("Maximum ({}) redirects followed", MAX_REDIRECTS)});
    auto next = resolve_location(current, **got);
    if (!next)
      return std::unexpected(HttpError{HttpError::Stage::Request, fmt::format("invalid redirect to {}", **got)});
    current = std::move(*next);
  }
}

}  // namespace varkel
