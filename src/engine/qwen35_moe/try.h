#pragma once
// Early return of the error of a Status or Result expression.

#include <utility>

#include "error/moe_error.h"

#define VARKEL_TRY(expr)                                                          \
  do {                                                                            \
    auto varkel_try_result = (expr);                                              \
    if (!varkel_try_result) return ::varkel::fail(std::move(varkel_try_result.error())); \
  } while (0)
