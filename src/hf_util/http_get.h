#pragma once
// One HTTP GET through libcurl with the body handed over as it arrives.
// Proxies come from the environment (libcurl's defaults), no headers or
// credentials of our own are sent.
//
// Redirects are followed here, one new request per hop. Only a final 200
// reaches the sink: the request asks for the whole resource, so any other
// status fails with http_status_text. The final response's body is framed
// here: by chunked, the only transfer coding taken, or by its
// "content-length" values, which must all give one number; without either it
// runs to the end of the connection. A "content-length" or
// "transfer-encoding" field folded onto a second line fails the response:
// libcurl decodes the transfer without taking such a field, so the two would
// frame the body differently. A length that cannot be read fails the
// response, since a body cut short would otherwise pass as whole. The header
// blocks are split here too: a block ends at its empty line, and only the
// first line of a block is a status line.
// libcurl's own length handling is off (it frames "12a" as 12), which in turn
// means a redirect's body is never waited for: the hop ends with its head.
// Content codings are never asked for, so a body is handed over as sent.

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
  // What the "content-length" headers of the final response agree on; none
  // when there is none (or a broken one beside chunked).
  std::optional<uint64_t> content_length;
};

// Parses a "content-length" value: tab and visible ASCII only, an optional
// "+", decimal digits, no overflow.
std::optional<uint64_t> parse_content_length(std::string_view value);
// A whole "content-length" field: a comma list of values that all parse and
// agree ("16, 16" is 16); empty elements are skipped.
std::optional<uint64_t> parse_content_length_field(std::string_view value);

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
    Request,      // no usable response: transport failure, stall, a status that is no file, broken head
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
