#pragma once
// One HTTP GET through libcurl with the body handed over as it arrives.
// Proxies come from the environment (libcurl's defaults), redirects are
// followed, no headers or credentials of our own are sent.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace varkel {

struct HttpHead {
  long status = 0;
  // Value of the first "content-length" header of the final response,
  // surrounding blanks trimmed; unparsed.
  std::optional<std::string> content_length;
};

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
