#include "engine/decode_profile.h"

namespace varkel {
namespace {

bool profiling = false;
DecodeProfile totals;

}  // namespace

void set_decode_profiling(bool on) { profiling = on; }
bool decode_profiling() { return profiling; }
DecodeProfile& decode_profile() { return totals; }

}  // namespace varkel
