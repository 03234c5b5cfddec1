// Errors as values: a message or a negative kernel error number travels back to the caller.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace yulos {

struct Error {
    std::string message;
};

template <class T> class Expected {
  public:
    Expected(T value) : state_(std::move(value)) {}
    Expected(Error error) : state_(std::move(error)) {}

    explicit operator bool() const { return state_.index() == 0; }
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    const Error& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, Error> state_;
};

} // namespace yulos
