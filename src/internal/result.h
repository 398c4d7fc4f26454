// Result<T, E>: a value or an error, the return type of every fallible operation.
// Not API: shared plumbing for the units under src/.
#pragma once

#include <utility>
#include <variant>

#include "error.h"

namespace quelvane {

template <typename E>
struct Failure {
  E error;
};

// Wraps an error so that `return fail(e);` converts into any Result<T, E>.
template <typename E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <typename T, typename E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}
  Result(E error) requires(!std::is_same_v<T, E>) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// Status: success carries nothing.
struct Ok {};

}  // namespace quelvane

// Evaluates `expr` (a Result); on failure returns its error from the enclosing function,
// otherwise binds the value to `lhs`.
#define QV_CONCAT_INNER(a, b) a##b
#define QV_CONCAT(a, b) QV_CONCAT_INNER(a, b)
#define QV_ASSIGN_OR_RETURN(lhs, expr) QV_ASSIGN_OR_RETURN_IMPL(QV_CONCAT(qv_result_, __LINE__), lhs, expr)
#define QV_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                             \
  if (!tmp) return ::quelvane::fail(std::move(tmp).error()); \
  lhs = std::move(tmp).value()

// Evaluates `expr` (a Result whose value is not needed) and returns its error, if any.
#define QV_RETURN_IF_ERROR(expr) QV_RETURN_IF_ERROR_IMPL(QV_CONCAT(qv_status_, __LINE__), expr)
#define QV_RETURN_IF_ERROR_IMPL(tmp, expr)                                          \
  do {                                                                              \
    if (auto tmp = (expr); !tmp) return ::quelvane::fail(std::move(tmp).error()); \
  } while (false)
