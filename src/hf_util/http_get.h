#pragma once
// One HTTP GET through libcurl with the body handed over as it arrives.
// Proxies come from the environment (libcurl's defaults), redirects are
// followed, no headers or credentials of our own are sent.
//
// A "content-length" that does not parse is no error: the body then runs to
// the end of the connection. libcurl either refuses such a response or frames
// the body by a numeric prefix of the value ("12a" as 12), so the request is
// sent once more with libcurl's own length handling turned off; nothing has
// reached the sink before that.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace varkel {

struct HttpHead {
  long status = 0;
  // The first "content-length" header of the final response; none when it is
  // missing or does not parse.
  std::optional<uint64_t> content_length;
};

// Parses a "content-length" value: tab and visible ASCII only, an optional
// "+", decimal digits, no overflow.
std::optional<uint64_t> parse_content_length(std::string_view value);

// Receives the final response. A returned text aborts the transfer and is
// reported unchanged.
class HttpSink {
 public:
  virtual ~HttpSink() = default;
  virtual std::optional<std::string> on_head(const HttpHead& head) = 0;
  virtual std::optional<std::string> on_data(const char* data, size_t size) = 0;
};

struct HttpError {
  enum class Stage {
    Request,  // no usable response: transport failure or status 400 to 599
    Body,     // the body failed after the head was accepted
    Sink,     // the sink refused; `text` is its message
  };
  Stage stage;
  std::string text;
};

std::expected<void, HttpError> http_get(const std::string& url, HttpSink& sink);

// The status rule's error text: "http status: {}".
std::string http_status_text(long status);

}  // namespace varkel
