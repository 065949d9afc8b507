#pragma once
// One HTTP GET through libcurl with the body handed over as it arrives.
// Proxies come from the environment (libcurl's defaults), no headers or
// credentials of our own are sent.
//
// Redirects are followed here, one new request per hop, and the final
// response's body is framed here from its first "content-length": a value
// that does not parse is no error, the body then runs to the end of the
// connection. libcurl would refuse such a response or frame the body by a
// numeric prefix ("12a" as 12), so its own length handling is off, which in
// turn means a redirect's body is never waited for: the hop ends with its head.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "hf_util/transfer_control.h"

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
    Request,      // no usable response: transport failure, stall, status 400 to 599, broken head
    Body,         // the body failed or stalled after the head was accepted
    Sink,         // the sink refused; `text` is its message
    Interrupted,  // the interrupt check fired; `text` is what it returned
  };
  Stage stage;
  std::string text;
};

std::expected<void, HttpError> http_get(const std::string& url, HttpSink& sink, const TransferControl& control = {});

// The status rule's error text: "http status: {}".
std::string http_status_text(long status);

}  // namespace varkel
