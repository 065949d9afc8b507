#pragma once
// Streaming one hub file into the local cache: a temporary file beside the
// destination, renamed into place once the body is complete. The temporary
// file is this download's alone (see part_file.h).

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
  std::filesystem::path temp;  // the name the body is written under when no other file has it
};

// The destination with its last extension replaced by "part" (or "part"
// added); a name that already ends in ".part" gets a second one, so a partial
// body never sits under the destination's own name.
std::filesystem::path temp_path_for(const std::filesystem::path& destination);

// Temporary paths for one batch, in request order: the usual name where it is
// unique, a numbered one where two requests would share a file.
std::vector<std::filesystem::path> batch_temp_paths(const std::vector<std::filesystem::path>& destinations);

// The request goes to "{base_url}/{repo_id}/resolve/main/{name}" with each
// segment of the name percent-encoded. A failure after the temporary file was
// created leaves it with what arrived; "interrupted: " and the check's text
// when the interrupt check fires.
HubResult<std::filesystem::path> download_hf(const DownloadRequest& request, progress::ProgressBar& bar,
                                             const TransferControl& control = {});

}  // namespace varkel
