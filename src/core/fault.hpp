// fault.hpp: the core's two failure types (no Python here).
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace sorvik {

/// A broken invariant or an unimplemented branch. The binding layer reports
/// it with its source location on stderr and raises the fault exception class.
class Fault : public std::exception {
public:
    explicit Fault(std::string message,
                   std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

/// An expected failure with a user-facing message; raised to Python as ValueError.
class CoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Thrown by long computations when their cancellation hook asks them to stop.
/// The hook's owner (the binding layer) knows why and reports it.
struct Cancelled {};

}  // namespace sorvik
