#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace zarvi {

// Why something did not happen: the system's own human-readable description, which goes verbatim
// after the fixed prefix of an event message.
struct Failure {
  std::string description;
};

// The one way every layer reports an error: a value, or the failure that took its place. Test it
// with ok() (or in a condition), then read value() or failure().
template <typename T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Failure failure) : outcome_(std::in_place_index<1>, std::move(failure)) {}  // NOLINT

  bool ok() const { return outcome_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(outcome_); }
  const T& value() const& { return std::get<0>(outcome_); }
  T&& value() && { return std::get<0>(std::move(outcome_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Failure& failure() const { return std::get<1>(outcome_); }
  const std::string& error() const { return failure().description; }

 private:
  std::variant<T, Failure> outcome_;
};

// Success with nothing to hand back, or the failure.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)) {}  // NOLINT: implicit by design

  bool ok() const { return !failure_; }
  explicit operator bool() const { return ok(); }

  const Failure& failure() const { return *failure_; }
  const std::string& error() const { return failure_->description; }

 private:
  std::optional<Failure> failure_;
};

}  // namespace zarvi
