// The library's two ways of refusing work. Neither includes Python: the binding
// layer maps them to Python exceptions at the call boundary.
#pragma once

#include <stdexcept>
#include <string>

namespace quill {

// The caller's input is refused; the message is shown to the user verbatim.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// A situation the library does not support (an unimplemented convention, a
// result outside the representable range). Deliberately unrelated to Error so
// that no handler can take one for the other.
class Failure : public std::logic_error {
public:
    explicit Failure(const std::string& message) : std::logic_error(message) {}
};

[[noreturn]] inline void fail(const std::string& message) { throw Failure(message); }

}  // namespace quill
