// Error values and results for the core. An Error is a message, optionally
// wrapping the error that caused it under a context message. Only the
// outermost message is ever shown; the cause chain is kept for tests and
// debugging and is never appended to the text.
#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tesmo {

// What kind of failure an error is, for callers that act on it rather than
// show it. A context wraps an error without changing its kind.
enum class ErrorKind : unsigned char {
  kFailure,      // described by its message alone
  kOs,           // a system call failed; os_error() gives its errno
  kInterrupted,  // a wait was cut short at the caller's request
  kTooLarge,     // data past a size limit; the message says which
  kPending,      // already reported to the embedding runtime (a Python
                 // exception is set); the message is empty
};

class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}

  // "<system description> (os error <code>)", the text every OS failure uses.
  static Error from_errno(int code);
  // A path that names nothing, for a reason of its own (`message`): it
  // counts as not found, like ENOENT.
  static Error absent(std::string message) { return Error(std::move(message), ErrorKind::kOs, ENOENT); }
  // A wait given up because the caller asked (a signal came in).
  static Error interrupted() { return Error("interrupted", ErrorKind::kInterrupted, 0); }
  // Data that would grow past a limit the reader was given.
  static Error too_large(std::string message) { return Error(std::move(message), ErrorKind::kTooLarge, 0); }
  // A failure the embedding runtime already holds.
  static Error pending() { return Error("", ErrorKind::kPending, 0); }

  // A new error whose message is `context` and whose cause is *this.
  Error with_context(std::string context) const;

  const std::string& message() const { return message_; }
  const Error* cause() const { return cause_.get(); }
  ErrorKind kind() const { return kind_; }
  // The errno of an OS failure, 0 for any other kind.
  int os_error() const { return os_error_; }
  // An OS failure saying that the path is absent (ENOENT): what callers
  // branch on after an open instead of a stat before it.
  bool is_not_found() const { return os_error_ == ENOENT; }

 private:
  Error(std::string message, ErrorKind kind, int os_error)
      : message_(std::move(message)), kind_(kind), os_error_(os_error) {}

  std::string message_;
  std::shared_ptr<const Error> cause_;
  ErrorKind kind_ = ErrorKind::kFailure;
  int os_error_ = 0;
};

// The part of std::expected that the core uses (C++20 has none).
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : data_(std::in_place_index<1>, std::move(error)) {}
  template <class U, std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                          !std::is_same_v<std::decay_t<U>, Error> &&
                                          !std::is_same_v<std::decay_t<U>, Result>,
                                      int> = 0>
  Result(U&& value) : data_(std::in_place_index<0>, std::forward<U>(value)) {}

  bool has_value() const { return data_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(data_); }
  const T& value() const& { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { return std::get<1>(data_); }

 private:
  std::variant<T, Error> data_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::make_shared<Error>(std::move(error))) {}

  bool has_value() const { return !error_; }
  explicit operator bool() const { return has_value(); }
  const Error& error() const { return *error_; }

 private:
  std::shared_ptr<const Error> error_;
};

// Shorthand for functions that succeed with no value.
using Status = Result<void>;

}  // namespace tesmo
