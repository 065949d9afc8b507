#include "model/config/json_text.h"

namespace varkel {

std::expected<nlohmann::json, std::string> parse_json(std::string_view text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& error) {
    // Drop the library's "[json.exception.parse_error.101] " tag: the rest reads on its own.
    std::string_view message = error.what();
    if (!message.empty() && message.front() == '[') {
      const size_t close = message.find("] ");
      if (close != std::string_view::npos) message.remove_prefix(close + 2);
    }
    return std::unexpected(std::string(message));
  }
}

}  // namespace varkel
