#include "numpy/errors.hpp"

#include <algorithm>

#include "python/binding.hpp"
#include "python/ref.hpp"

namespace quill::np {

namespace {

void set_error(FirstError::Kind kind, const std::string& text) {
    switch (kind) {
        case FirstError::Kind::value:
            py::raise_error(text);
            break;
        case FirstError::Kind::failure:
            py::raise_failure(text);
            break;
        case FirstError::Kind::type:
        case FirstError::Kind::python:
            PyErr_SetString(PyExc_TypeError, text.c_str());
            break;
        case FirstError::Kind::overflow:
            PyErr_SetString(PyExc_OverflowError, text.c_str());
            break;
    }
}

}  // namespace

FirstError::~FirstError() {
    if (exception_ == nullptr && dropped_.empty()) return;
    // Only loops that read objects take exceptions, and those hold the lock.
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_XDECREF(exception_);
    for (PyObject* e : dropped_) Py_DECREF(e);
    PyGILState_Release(state);
}

bool FirstError::record_raised(std::int64_t index) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return false;
    std::lock_guard lock(m_);
    if (index < index_) {
        if (exception_ != nullptr) dropped_.push_back(exception_);
        index_ = index;
        kind_ = Kind::python;
        exception_ = exc;
    } else {
        dropped_.push_back(exc);
    }
    return true;
}

void FirstError::raise() {
    if (kind_ == Kind::python && exception_ != nullptr) {
        PyErr_SetRaisedException(exception_);
        exception_ = nullptr;
        return;
    }
    set_error(kind_, message_);
}

int FirstError::finish() {
    // Loops may run without the interpreter lock; raising needs it.
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
    set_error(kind, message + at_index(flat, shape));
    throw py::PythonError{};
}

void FirstError::raise(const std::vector<npy_intp>& shape) {
    if (kind_ == Kind::python) {
        raise();
        pending_index() = {true, index_};
        append_pending_index(shape);
        throw py::PythonError{};
    }
    raise_at(kind_, message_, index_, shape);
}

PendingIndex& pending_index() noexcept {
    thread_local PendingIndex record;
    return record;
}

void append_pending_index(const std::vector<npy_intp>& shape) {
    PendingIndex& pending = pending_index();
    if (!pending.set) return;
    pending.set = false;
    const std::string suffix = at_index(pending.flat, shape);
    if (suffix.empty() || !PyErr_Occurred()) return;
    PyObject* exc = PyErr_GetRaisedException();
    py::Ref text(PyObject_Str(exc));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    py::Ref message(PyUnicode_FromString((std::string(utf8) + suffix).c_str()));
    py::Ref args(message ? PyTuple_Pack(1, message.get()) : nullptr);
    if (!args) {
        Py_DECREF(exc);
        return;
    }
    // Same class, same traceback, the index appended to its one argument.
    PyException_SetArgs(exc, args.get());
    PyErr_SetRaisedException(exc);
}

namespace message {

std::string argument(std::string_view name, std::string_view what) {
    std::string out("argument '");
    return out.append(name).append("': ").append(what);
}

std::string dtype_not(std::string_view dtype, std::string_view target) {
    std::string out("'ndarray' object of dtype ");
    return out.append(dtype).append(" cannot be converted to '").append(target).append("'");
}

std::string dtype_not_integer(std::string_view dtype) {
    std::string out("'ndarray' object of dtype ");
    return out.append(dtype).append(" cannot be interpreted as an integer");
}

std::string enum_value(std::string_view name, std::string_view value, std::string_view variants) {
    std::string out(name);
    return out.append(" (").append(value).append(") must be ").append(variants);
}

std::string nat_refused(std::string_view what) { return "Cannot convert NaT to " + std::string(what); }

std::string year_too_early(std::int64_t year) { return "Year (" + std::to_string(year) + ") must be >= 1899"; }

std::string unexpected_keyword(std::string_view function, std::string_view keyword) {
    std::string out(function);
    return out.append("() got an unexpected keyword argument '").append(keyword).append("'");
}

}  // namespace message

}  // namespace quill::np
