#pragma once
// Result<T>: a value or the WinError that prevented it. Platform calls return it (or a bare
// WinError when there is no value) so that a caller cannot ignore a failure by accident.

#include <cassert>
#include <utility>
#include <variant>

#include "platform/common/WinError.h"

namespace uv::platform {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  static Result Failure(WinError error) { return Result(error, 0); }

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  // kErrorSuccess when a value is held.
  WinError error() const { return ok() ? kErrorSuccess : std::get<1>(state_); }

  T value_or(T fallback) const& { return ok() ? std::get<0>(state_) : std::move(fallback); }

 private:
  Result(WinError error, int) : state_(std::in_place_index<1>, error) {}
  std::variant<T, WinError> state_;
};

}  // namespace uv::platform
