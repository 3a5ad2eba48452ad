#include "numpy/errors.hpp"

#include <algorithm>

#include "python/binding.hpp"

namespace quill::np {

void FirstError::raise() const {
    switch (kind_) {
        case Kind::value:
            py::raise_error(message_);
            break;
        case Kind::failure:
            py::raise_failure(message_);
            break;
        case Kind::type:
            PyErr_SetString(PyExc_TypeError, message_.c_str());
            break;
        case Kind::overflow:
            PyErr_SetString(PyExc_OverflowError, message_.c_str());
            break;
    }
}

int FirstError::finish() const {
    // Loops run without the interpreter lock; raising needs it.
    const PyGILState_STATE state = PyGILState_Ensure();
    raise();
    PyGILState_Release(state);
    return -1;
}

std::string at_index(std::int64_t flat, const std::vector<npy_intp>& shape) {
    if (shape.empty()) return "";
    if (shape.size() == 1) return " (at index " + std::to_string(flat) + ")";
    std::vector<std::int64_t> index(shape.size());
    for (std::size_t k = shape.size(); k-- > 0;) {
        const std::int64_t extent = std::max<std::int64_t>(shape[k], 1);
        index[k] = flat % extent;
        flat /= extent;
    }
    std::string out = " (at index (";
    for (std::size_t k = 0; k < index.size(); ++k) {
        if (k > 0) out += ", ";
        out += std::to_string(index[k]);
    }
    return out + "))";
}

void raise_at(FirstError::Kind kind, const std::string& message, std::int64_t flat, const std::vector<npy_intp>& shape) {
    const std::string text = message + at_index(flat, shape);
    switch (kind) {
        case FirstError::Kind::value:
            py::raise_error(text);
            break;
        case FirstError::Kind::failure:
            py::raise_failure(text);
            break;
        case FirstError::Kind::type:
            PyErr_SetString(PyExc_TypeError, text.c_str());
            break;
        case FirstError::Kind::overflow:
            PyErr_SetString(PyExc_OverflowError, text.c_str());
            break;
    }
    throw py::PythonError{};
}

void FirstError::raise(const std::vector<npy_intp>& shape) const { raise_at(kind_, message_, index_, shape); }

}  // namespace quill::np
