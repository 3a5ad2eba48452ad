// The library's two ways of refusing work. Neither includes Python: the binding
// layer maps them to Python exceptions at the call boundary.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace quill {

// A message kept whole: what() ends at the first NUL, and messages quote the
// user's text, which may hold one. Shared so that copying never throws.
class Message {
public:
    explicit Message(const std::string& text) : text_(std::make_shared<const std::string>(text)) {}
    const std::string& message() const noexcept { return *text_; }

private:
    std::shared_ptr<const std::string> text_;
};

// The caller's input is refused; the message is shown to the user verbatim.
class Error : public std::runtime_error, public Message {
public:
    explicit Error(const std::string& message) : std::runtime_error(message), Message(message) {}
};

// A situation the library does not support (an unimplemented convention, a
// result outside the representable range). Deliberately unrelated to Error so
// that no handler can take one for the other.
class Failure : public std::logic_error, public Message {
public:
    explicit Failure(const std::string& message) : std::logic_error(message), Message(message) {}
};

[[noreturn]] inline void fail(const std::string& message) { throw Failure(message); }

}  // namespace quill
