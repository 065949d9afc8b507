#pragma once
// Kept for the tests that include it by this name.
#include "common/test_files.h"
