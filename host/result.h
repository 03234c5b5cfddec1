// Errors as values. A host function that can fail returns a Result: its value, or an Error that
// says what went wrong. A kernel service turns an Error into the guest's negative error number at
// the one place where it answers the guest.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace yulos {

struct Error {
    int number = 0;      // the host error number (an errno value), 0 when the message says all
    std::string message; // for the user; empty when the number says it

    explicit Error(std::string text) : message(std::move(text)) {}
    // An error number alone, such as ENOENT.
    static Error code(int number) { return Error(number, {}); }
    // The error of the host call that has just failed.
    static Error last() { return code(errno); }

    // What the guest is told: the negative error number, -EIO when there is none.
    int32_t kernel_result() const { return -(number != 0 ? number : EIO); }
    // What the user is told.
    std::string text() const { return message.empty() ? std::strerror(number) : message; }

  private:
    Error(int error_number, std::string text) : number(error_number), message(std::move(text)) {}
};

template <class T> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    explicit operator bool() const { return state_.index() == 0; }
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    const Error& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, Error> state_;
};

// Success, or what went wrong.
template <> class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    explicit operator bool() const { return !error_; }
    const Error& error() const { return *error_; }

  private:
    std::optional<Error> error_;
};

// The guest's answer for a service whose host work gave `result`: its value, or the negative
// error number.
inline int32_t kernel_result(const Result<int32_t>& result)
{
    return result ? *result : result.error().kernel_result();
}

inline int32_t kernel_result(const Result<void>& result)
{
    return result ? 0 : result.error().kernel_result();
}

} // namespace yulos
