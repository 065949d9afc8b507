#pragma once
// What a hub transfer runs under: a limit on silence, and a check that lets
// the caller end it (Ctrl-C).

#include <chrono>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace varkel {

inline constexpr std::chrono::milliseconds DEFAULT_STALL_LIMIT{60'000};
inline constexpr const char* STALL_LIMIT_VARIABLE = "VARKEL_DOWNLOAD_STALL_SECS";

// Returns the text of a pending interrupt (e.g. the Python exception raised
// by Ctrl-C, already consumed), or nothing while the transfer may go on.
using DownloadInterrupt = std::function<std::optional<std::string>()>;

struct TransferControl {
  // A transfer that receives no byte for this long fails.
  std::chrono::milliseconds stall_limit = DEFAULT_STALL_LIMIT;
  // Polled between chunks on the thread that runs the transfer.
  DownloadInterrupt interrupted;
};

// A stall limit written as seconds: a positive decimal number up to 1e9,
// rounded up to whole milliseconds.
std::expected<std::chrono::milliseconds, std::string> parse_stall_secs(std::string_view text);

// The limit VARKEL_DOWNLOAD_STALL_SECS sets, or the default when it is unset.
std::expected<std::chrono::milliseconds, std::string> stall_limit_from_env();

// "no data received for {} s", the limit in seconds.
std::string stall_text(std::chrono::milliseconds limit);

}  // namespace varkel
