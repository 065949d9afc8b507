#pragma once
// What every Python-visible instance carries: the thread that created it and
// a borrow flag. Calls hold a shared or an exclusive borrow for their whole
// length; a conflict can only come from re-entry (a signal handler run by the
// interrupt check), and is reported instead of aliasing native state.

#include <cstdint>
#include <string>

namespace varkel::python {

class Confined {
 public:
  explicit Confined(const char* type_path) : type_path_(type_path) {}
  Confined(const Confined&) = delete;
  Confined& operator=(const Confined&) = delete;

  bool on_owner_thread() const { return current_thread_token() == owner_; }
  const char* type_path() const { return type_path_; }

  // Raises the panic exception when called from a thread other than the creator's.
  void check_thread() const;
  // Reports a drop on a foreign thread through the unraisable hook; the caller
  // then leaks its native value instead of freeing it there.
  void report_foreign_drop() const;

 private:
  friend class SharedBorrow;
  friend class ExclusiveBorrow;
  // Unlike std::thread::id, never handed to a later thread once its thread has ended.
  static uint64_t current_thread_token();
  uint64_t owner_ = current_thread_token();
  const char* type_path_;
  int borrows_ = 0;  // > 0: shared borrows held; -1: held exclusively
};

class SharedBorrow {
 public:
  explicit SharedBorrow(const Confined& target);
  ~SharedBorrow();
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  Confined& target_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(Confined& target);
  ~ExclusiveBorrow();
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  Confined& target_;
};

}  // namespace varkel::python
