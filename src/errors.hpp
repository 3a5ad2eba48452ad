// The library's two ways of refusing work. Neither includes Python: the binding
// layer maps them to Python exceptions at the call boundary.
#pragma once

#include <stdexcept>
#include <string>

namespace quill {

// Messages quote user text verbatim, which may hold NUL characters; what()
// would stop at the first one, so the whole message is kept beside it.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message), message_(message) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// A situation the library does not support (an unimplemented convention, a
// result outside the representable range). Deliberately unrelated to Error so
// that no handler can take one for the other.
class Failure : public std::logic_error {
public:
    explicit Failure(const std::string& message) : std::logic_error(message), message_(message) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void fail(const std::string& message) { throw Failure(message); }

}  // namespace quill
