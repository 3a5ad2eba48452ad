#include "python/binding.hpp"

#include <cstring>

namespace quill::py {

// ---------------------------------------------------------------- errors

namespace {

PyObject* failure_type = nullptr;

constexpr const char* failure_doc =
    "\n"
    "The exception raised when the extension's compiled code, called from Python, aborts.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

std::string qualname_of(PyObject* o) {
    PyObject* name = PyType_GetQualName(Py_TYPE(o));
    if (name == nullptr) {
        PyErr_Clear();
        return Py_TYPE(o)->tp_name;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    std::string out = text ? std::string(text, static_cast<std::size_t>(size)) : std::string(Py_TYPE(o)->tp_name);
    if (text == nullptr) PyErr_Clear();
    Py_DECREF(name);
    return out;
}

}  // namespace

namespace {

// The message as a str; a stray invalid byte must not turn the error into a
// UnicodeDecodeError.
PyObject* message_text(std::string_view message) {
    return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

}  // namespace

void raise_error(std::string_view message) {
    PyObject* text = message_text(message);
    if (text == nullptr) return;
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
}

void raise_failure(std::string_view message) {
    if (failure_type == nullptr) {
        failure_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", failure_doc, PyExc_BaseException, nullptr);
        if (failure_type == nullptr) return;
    }
    PyObject* text = message_text(message);
    if (text == nullptr) return;
    PyObject* args = PyTuple_Pack(1, text);
    Py_DECREF(text);
    if (args == nullptr) return;
    PyErr_SetObject(failure_type, args);
    Py_DECREF(args);
}

void adopt_failure_type(PyObject* type) {
    Py_XINCREF(type);
    Py_XSETREF(failure_type, type);
}

void cannot_convert(PyObject* o, std::string_view target) {
    std::string message(1, '\'');
    message.append(qualname_of(o)).append("' object cannot be converted to '").append(target).append("'");
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

void argument_error(std::string_view name, bool value_errors) {
    PyObject* exc = PyErr_GetRaisedException();
    const auto is = [&](PyObject* type) { return Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(type)); };
    if (exc == nullptr || !(is(PyExc_TypeError) || (value_errors && is(PyExc_ValueError)))) {
        PyErr_SetRaisedException(exc);
        return;
    }
    // Concatenation rather than PyUnicode_FromFormat, whose format parsing costs
    // more than all the rest of this path.
    std::string head("argument '");
    head.append(name).append("': ");
    PyObject* prefix = PyUnicode_FromStringAndSize(head.data(), static_cast<Py_ssize_t>(head.size()));
    PyObject* text = prefix ? PyObject_Str(exc) : nullptr;
    PyObject* message = text ? PyUnicode_Concat(prefix, text) : nullptr;
    Py_XDECREF(prefix);
    Py_XDECREF(text);
    if (message == nullptr) {
        Py_DECREF(exc);
        return;
    }
    // An error that CPython's conversion or a loader has just made is ours alone (no
    // other reference, no traceback): reword it in place rather than build a second one.
    // One raised by user code may be held elsewhere, so it is left untouched.
    PyObject* traceback = PyException_GetTraceback(exc);
    PyObject* args = Py_REFCNT(exc) == 1 && traceback == nullptr ? PyTuple_Pack(1, message) : nullptr;
    Py_XDECREF(traceback);
    if (args != nullptr) {
        PyException_SetArgs(exc, args);
        Py_DECREF(args);
        PyErr_SetRaisedException(exc);
    } else {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
        Py_INCREF(type);
        Py_DECREF(exc);
        PyErr_SetObject(type, message);
        Py_DECREF(type);
    }
    Py_DECREF(message);
}

// ---------------------------------------------------------------- binding

namespace {

std::string label(const CallSpec& spec) {
    std::string out;
    if (!spec.owner.empty()) {
        out.append(spec.owner);
        out.push_back('.');
    }
    out.append(spec.name);
    out.append("()");
    return out;
}

void type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

bool too_many_positional(const CallSpec& spec, Py_ssize_t given) {
    std::string message = label(spec) + " takes ";
    if (spec.required != spec.nparams) {
        message += "from " + std::to_string(spec.required) + " to ";
    }
    message += std::to_string(spec.nparams) + " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    type_error(message);
    return false;
}

bool name_matches(PyObject* key, std::string_view name) {
    if (!PyUnicode_Check(key) || !PyUnicode_IS_ASCII(key)) return false;
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) == name.size() &&
           std::memcmp(PyUnicode_1BYTE_DATA(key), name.data(), name.size()) == 0;
}

bool bind_keyword(const CallSpec& spec, PyObject* key, PyObject* value, PyObject** out, Bound& bound) {
    for (std::size_t i = 0; i < spec.nparams; ++i) {
        if (name_matches(key, spec.params[i])) {
            if (out[i] != nullptr) {
                type_error(label(spec) + " got multiple values for argument '" + std::string(spec.params[i]) + "'");
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    if (spec.varkw) {
        if (bound.kwargs == nullptr && (bound.kwargs = PyDict_New()) == nullptr) return false;
        return PyDict_SetItem(bound.kwargs, key, value) == 0;
    }
    const std::string prefix = label(spec);
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", prefix.c_str(), key);
    return false;
}

bool check_missing(const CallSpec& spec, PyObject** out) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (out[i] == nullptr) missing.push_back(spec.params[i]);
    }
    if (missing.empty()) return true;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                list += " and ";
            } else {
                list += i + 1 == missing.size() ? ", and " : ", ";
            }
        }
        list.append("'").append(missing[i]).append("'");
    }
    type_error(label(spec) + " missing " + std::to_string(missing.size()) + " required positional argument" +
               (missing.size() > 1 ? "s" : "") + ": " + list);
    return false;
}

bool bind_positional(const CallSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject** out, Bound& bound) {
    const auto n = static_cast<Py_ssize_t>(spec.nparams);
    if (nargs > n && !spec.varargs) return too_many_positional(spec, nargs);
    const Py_ssize_t taken = std::min(nargs, n);
    for (Py_ssize_t i = 0; i < taken; ++i) out[i] = args[i];
    bound.varargs = args + taken;
    bound.nvarargs = nargs - taken;
    return true;
}

}  // namespace

bool bind_vector(const CallSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                 Bound& bound) {
    if (!bind_positional(spec, args, nargs, out, bound)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!bind_keyword(spec, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out, bound)) return false;
        }
    }
    return check_missing(spec, out);
}

bool bind_tuple(const CallSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out, Bound& bound) {
    if (!bind_positional(spec, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), out, bound)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(spec, key, value, out, bound)) return false;
        }
    }
    return check_missing(spec, out);
}

// ---------------------------------------------------------------- converters

bool load_double(PyObject* o, double& out) {
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

bool load_int32(PyObject* o, long& out) {
    out = PyLong_AsLong(o);
    if (out == -1 && PyErr_Occurred()) return false;
    // C long is wider than 32 bits here; keep CPython's message for the 32-bit range.
    if (out < std::numeric_limits<std::int32_t>::min() || out > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return false;
    }
    return true;
}

bool load_text(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        cannot_convert(o, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool Arg<std::uint64_t>::load(PyObject* o) {
    if (PyLong_Check(o)) {
        v = PyLong_AsUnsignedLongLong(o);
    } else {
        PyObject* index = PyNumber_Index(o);
        if (index == nullptr) return false;
        v = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    return !(v == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

namespace {

// numpy's bool scalars convert through their truth value.
bool is_numpy_bool(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    const char* name = dot ? dot + 1 : type->tp_name;
    if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool from_numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
    Py_DECREF(module);
    return from_numpy;
}

}  // namespace

bool Arg<bool>::load(PyObject* o) {
    if (o == Py_True || o == Py_False) {
        v = o == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(o);
    if (is_numpy_bool(type)) {
        if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
            PyObject* text = PyObject_Str(reinterpret_cast<PyObject*>(type));
            if (text == nullptr) return false;
            PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", text);
            Py_DECREF(text);
            return false;
        }
        const int truth = type->tp_as_number->nb_bool(o);
        if (truth < 0) return false;
        v = truth != 0;
        return true;
    }
    cannot_convert(o, "PyBool");
    return false;
}

bool sequence_precheck(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        cannot_convert(o, "Sequence");
        return false;
    }
    return true;
}

PyObject* to_py(const std::vector<double>& v) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(v[i]);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// ---------------------------------------------------------------- classes

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

PyTypeObject* make_type(const char* qualified_name, int basicsize, destructor dealloc, std::vector<PyType_Slot> slots,
                        vectorcallfunc vectorcall) {
    const bool has_new = std::any_of(slots.begin(), slots.end(), [](const PyType_Slot& s) { return s.slot == Py_tp_new; });
    if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    slots.push_back({0, nullptr});
    PyType_Spec spec{qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) return nullptr;
    if (vectorcall != nullptr) {
        // Calling the class then skips building an argument tuple.
        type->tp_vectorcall = vectorcall;
    }
    return type;
}

// ---------------------------------------------------------------- start-up

PyObject* import_once(ModuleHome& home, PyModuleDef& def, bool (*prepare)(), bool (*initialise)(PyObject*)) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!home.owner.compare_exchange_strong(expected, id) && expected != id) {
        const std::string message = std::string(def.m_name) +
                                    " does not support sub-interpreters: it can only be imported in the "
                                    "interpreter that imported it first";
        PyErr_SetString(PyExc_ImportError, message.c_str());
        return nullptr;
    }
    if (home.module != nullptr) return Py_NewRef(home.module);
    if (prepare != nullptr && !prepare()) return nullptr;
    PyObject* module = PyModule_Create2(&def, 1013);
    if (module == nullptr) return nullptr;
    if (!initialise(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    home.module = module;
    return Py_NewRef(module);
}

}  // namespace quill::py
