#pragma once
// Streaming one hub file into the local cache: a temporary file on the
// destination's file system, renamed into place once the body is complete.
// Where temporaries live and how attempts share them: see part_file.h.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "hf_util/hf_repo.h"
#include "hf_util/progress/progress_bar.h"
#include "hf_util/transfer_control.h"

namespace varkel {

inline constexpr size_t DOWNLOAD_BUFFER_BYTES = 8'388'608;
inline constexpr uint64_t DOWNLOAD_BODY_LIMIT = 5'000'000'000ULL;

struct DownloadRequest {
  std::string base_url;
  std::string repo_id;
  std::string name;            // as requested; every message names it
  std::filesystem::path dir;   // destination = dir / name
};

// The request goes to "{base_url}/{repo_id}/resolve/main/{name}" with each
// segment of the name percent-encoded. A failure after the temporary file was
// created leaves it with what arrived, for the next attempt to start again;
// while a live download (another thread or process) writes the temporary,
// this one waits for it without a request, and answers with its file or, when
// it failed, fetches the file itself. "interrupted: " and the check's text
// when the interrupt check fires, also while waiting.
HubResult<std::filesystem::path> download_hf(const DownloadRequest& request, progress::ProgressBar& bar,
                                             const TransferControl& control = {});

}  // namespace varkel
