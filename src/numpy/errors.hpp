// The first failing element of a loop over arrays: whichever thread meets it,
// the smallest index wins, and it is raised once the loop is over, as the
// scalar call would raise it.
#pragma once

#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "numpy/numpy.hpp"

namespace quill::np {

class FirstError {
public:
    enum class Kind { value, failure, type, overflow };

    void record(std::int64_t index, Kind kind, std::string message) {
        std::lock_guard lock(m_);
        if (index < index_) {
            index_ = index;
            kind_ = kind;
            message_ = std::move(message);
        }
    }
    bool any() const { return index_ != std::numeric_limits<std::int64_t>::max(); }
    std::int64_t first() const { return index_; }
    // Sets the Python exception with the message alone (the interpreter lock must be held).
    void raise() const;
    // Takes the interpreter lock to raise; returns a ufunc loop's failure status.
    int finish() const;
    // Sets the Python exception: "<message> (at index <i>)", the index unravelled
    // over `shape` when it has two or more dimensions.
    void raise(const std::vector<npy_intp>& shape) const;

private:
    std::mutex m_;
    std::int64_t index_ = std::numeric_limits<std::int64_t>::max();
    Kind kind_ = Kind::value;
    std::string message_;
};

// " (at index 3)" or " (at index (1, 2))".
std::string at_index(std::int64_t flat, const std::vector<npy_intp>& shape);
// Raises the error of the first element, with its index, and throws PythonError.
[[noreturn]] void raise_at(FirstError::Kind kind, const std::string& message, std::int64_t flat,
                           const std::vector<npy_intp>& shape);

}  // namespace quill::np
