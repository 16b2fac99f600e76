// The outcome of an operation below the component: ok, or a failure with
// its kind and a message in words. The store, the card images, the encoder
// link and the platform return these; only the component turns them into
// HRESULTs and TavoError, at its edge.
#ifndef HOLVANTER_UTIL_STATUS_H_
#define HOLVANTER_UTIL_STATUS_H_

#include <optional>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <utility>

namespace holvanter {

class [[nodiscard]] Status {
 public:
  // The kinds of failure a host can tell apart (each has its own HRESULT).
  enum class Code {
    kOk,
    kDatabase,            // the database or its driver refused or failed
    kInvalidArgument,     // a value the operation cannot take
    kOverflow,            // a number too large for where it goes
    kTypeMismatch,        // text where a number belongs
    kSubscriptOutOfRange, // an empty statement
    kFileNotFound,        // a vendor library that cannot be loaded
    kEntryPointNotFound,  // a vendor library without the function
  };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status Database(std::string message) { return Status(Code::kDatabase, std::move(message)); }
  static Status InvalidArgument(std::string message) {
    return Status(Code::kInvalidArgument, std::move(message));
  }
  static Status Overflow(std::string message) { return Status(Code::kOverflow, std::move(message)); }
  static Status TypeMismatch(std::string message) {
    return Status(Code::kTypeMismatch, std::move(message));
  }
  static Status SubscriptOutOfRange(std::string message) {
    return Status(Code::kSubscriptOutOfRange, std::move(message));
  }
  static Status FileNotFound(std::string message) {
    return Status(Code::kFileNotFound, std::move(message));
  }
  static Status EntryPointNotFound(std::string message) {
    return Status(Code::kEntryPointNotFound, std::move(message));
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  Code code_ = Code::kOk;
  std::string message_;
};

// A failure thrown through the store's own layers, where a database
// backend's deep call chains would otherwise pass a Status through every
// frame. It never leaves the core: the component turns it into the caller's
// error at its edge, exactly as it turns a returned Status.
class StatusError : public std::runtime_error {
 public:
  explicit StatusError(Status status)
      : std::runtime_error(status.message()), status_(std::move(status)) {}
  const Status& status() const noexcept { return status_; }

 private:
  Status status_;
};

// A value, or the failure that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}          // NOLINT: a value converts
  Result(Status status) : status_(std::move(status)) {}  // NOLINT: so does a failure
  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }
  // A result equals a value when it holds that value.
  template <typename U>
  friend bool operator==(const Result& result, const U& value) {
    return result.ok() && *result.value_ == value;
  }

 private:
  Status status_;
  std::optional<T> value_;
};

// Runs `steps`, which signal a failure by throwing StatusError from deep
// inside a database backend, and answers with the outcome as a value: a
// Status for steps that give nothing, else a Result of what they give.
template <typename Steps>
auto Catching(Steps&& steps) {
  using Value = decltype(steps());
  if constexpr (std::is_void_v<Value>) {
    try {
      steps();
      return Status::Ok();
    } catch (const StatusError& e) {
      return e.status();
    }
  } else {
    try {
      return Result<Value>(steps());
    } catch (const StatusError& e) {
      return Result<Value>(e.status());
    }
  }
}

}  // namespace holvanter

// Returns the failure of `expr` (a Status) from the enclosing function.
#define HV_RETURN_IF_ERROR(expr)                   \
  do {                                             \
    ::holvanter::Status hv_status_ = (expr);       \
    if (!hv_status_.ok()) return hv_status_;       \
  } while (0)

#define HV_CONCAT_INNER_(a, b) a##b
#define HV_CONCAT_(a, b) HV_CONCAT_INNER_(a, b)
// Declares `lhs` from the value of `expr` (a Result), or returns its failure.
#define HV_ASSIGN_OR_RETURN(lhs, expr) \
  HV_ASSIGN_OR_RETURN_IMPL_(HV_CONCAT_(hv_result_, __LINE__), lhs, expr)
#define HV_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                              \
  if (!tmp.ok()) return tmp.status();             \
  lhs = std::move(tmp.value())

#endif  // HOLVANTER_UTIL_STATUS_H_
