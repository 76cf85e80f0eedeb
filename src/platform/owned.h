// An owned system resource (a descriptor, a handle), closed exactly once: the
// one RAII owner both platforms build their own on. `Traits` says what "none"
// is, which values are valid, and how to close one.
#pragma once

#include <utility>

namespace ostrim::platform {

template <typename Traits>
class Owned {
 public:
  using Value = typename Traits::Value;

  Owned() = default;
  explicit Owned(Value value) : value_(value) {}
  Owned(Owned&& other) noexcept : value_(std::exchange(other.value_, Traits::None())) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.value_, Traits::None()));
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Reset(); }

  Value get() const { return value_; }
  explicit operator bool() const { return Traits::Valid(value_); }
  void Reset(Value value = Traits::None()) {
    if (Traits::Valid(value_)) Traits::Close(value_);
    value_ = value;
  }
  // Gives the value up without closing it.
  Value Release() { return std::exchange(value_, Traits::None()); }

 private:
  Value value_ = Traits::None();
};

}  // namespace ostrim::platform
