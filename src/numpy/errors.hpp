// Errors of the array loops, and every message text they give, in one place.
//
// The first failing element of a loop over arrays: whichever thread meets it,
// the smallest index wins, and it is raised once the loop is over, as the
// scalar call would raise it.
#pragma once

#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "numpy/numpy.hpp"

namespace quill::np {

class FirstError {
public:
    // value: ValueError; failure: the internal-failure class; type: TypeError;
    // overflow: OverflowError; python: an exception object taken as raised.
    enum class Kind { value, failure, type, overflow, python };

    FirstError() = default;
    FirstError(const FirstError&) = delete;
    FirstError& operator=(const FirstError&) = delete;
    ~FirstError();

    void record(std::int64_t index, Kind kind, std::string message) {
        std::lock_guard lock(m_);
        if (index < index_) {
            index_ = index;
            kind_ = kind;
            message_ = std::move(message);
        }
    }
    // Takes the raised Python exception (the interpreter lock held) as element
    // `index`'s error; false (and nothing taken) when none is raised.
    bool record_raised(std::int64_t index);
    bool any() const { return index_ != std::numeric_limits<std::int64_t>::max(); }
    std::int64_t first() const { return index_; }
    // Sets the Python exception with the message alone (the interpreter lock must be held).
    void raise();
    // Takes the interpreter lock to raise; returns a ufunc loop's failure status.
    int finish();
    // Sets the Python exception: "<message> (at index <i>)", the index unravelled
    // over `shape` when it has two or more dimensions.
    void raise(const std::vector<npy_intp>& shape);

private:
    std::mutex m_;
    std::int64_t index_ = std::numeric_limits<std::int64_t>::max();
    Kind kind_ = Kind::value;
    std::string message_;
    PyObject* exception_ = nullptr;  // Kind::python, while it is the first
    std::vector<PyObject*> dropped_;  // exceptions a lower index displaced, released with the lock
};

// " (at index 3)" or " (at index (1, 2))"; nothing for a result of no dimension.
std::string at_index(std::int64_t flat, const std::vector<npy_intp>& shape);
// Raises the error of the first element, with its index, and throws PythonError.
[[noreturn]] void raise_at(FirstError::Kind kind, const std::string& message, std::int64_t flat,
                           const std::vector<npy_intp>& shape);

// The element whose error a twin's loop has just raised, counted in the
// order NumPy walked the elements (C order when the call asks for it); the
// calling thread's record, read by the twin's Python-callable wrapper.
struct PendingIndex {
    bool set = false;
    std::int64_t flat = 0;
};
PendingIndex& pending_index() noexcept;
// Appends the pending index, unravelled over `shape`, to the message of the
// raised exception (same class) and clears the record; no-op without one.
void append_pending_index(const std::vector<npy_intp>& shape);

// ---------------------------------------------------------------- messages

namespace message {

// "argument 'x': " + what, as the scalar binding names a refused argument.
std::string argument(std::string_view name, std::string_view what);
// "'ndarray' object of dtype int64 cannot be converted to 'Date'"
std::string dtype_not(std::string_view dtype, std::string_view target);
// "'ndarray' object of dtype float64 cannot be interpreted as an integer"
std::string dtype_not_integer(std::string_view dtype);
// "pc_flag (2) must be 0 (PutCallFlag.Put) or 1 (PutCallFlag.Call)"
std::string enum_value(std::string_view name, std::string_view value, std::string_view variants);
// "Cannot convert NaT to a serial"
std::string nat_refused(std::string_view what);
// "Year (1898) must be >= 1899"; OverflowError's text for years outside 0..65535.
std::string year_too_early(std::int64_t year);
inline constexpr const char* integral_overflow = "out of range integral type conversion attempted";
// get_df() got an unexpected keyword argument 'date'
std::string unexpected_keyword(std::string_view function, std::string_view keyword);

}  // namespace message

}  // namespace quill::np
