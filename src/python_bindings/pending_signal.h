// The interrupt check handed to long native calls (conversions, downloads).

#pragma once

#include <optional>
#include <string>

namespace varkel::python {

// Runs pending signal handlers; what one raised ("KeyboardInterrupt: ")
// becomes the returned message and is not re-raised. Calling thread only.
std::optional<std::string> pending_signal();

}  // namespace varkel::python
