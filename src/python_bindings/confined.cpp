#include "python_bindings/confined.h"

#include <atomic>

#include <fmt/format.h>

#include "python_bindings/errors.h"

namespace varkel::python {

uint64_t Confined::current_thread_token() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t token = next.fetch_add(1, std::memory_order_relaxed);
  return token;
}

void Confined::check_thread() const {
  if (!on_owner_thread()) raise_panic(fmt::format("{} is unsendable, but sent to another thread", type_path_));
}

void Confined::report_foreign_drop() const {
  // Keep whatever exception may be in flight; the hook gets its own.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  const std::string message = fmt::format("{} is unsendable, but is being dropped on another thread", type_path_);
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

SharedBorrow::SharedBorrow(const Confined& target) : target_(const_cast<Confined&>(target)) {
  target_.check_thread();
  if (target_.borrows_ < 0) raise_runtime("Already mutably borrowed");
  ++target_.borrows_;
}

SharedBorrow::~SharedBorrow() { --target_.borrows_; }

ExclusiveBorrow::ExclusiveBorrow(Confined& target) : target_(target) {
  target_.check_thread();
  if (target_.borrows_ != 0) raise_runtime("Already borrowed");
  target_.borrows_ = -1;
}

ExclusiveBorrow::~ExclusiveBorrow() { target_.borrows_ = 0; }

}  // namespace varkel::python
