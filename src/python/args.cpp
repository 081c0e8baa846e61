#include "args.hpp"

#include <string>

namespace zorvo::python {
namespace {

bool raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t most = signature.positional_count;
    const std::size_t least = signature.required_count < most ? signature.required_count : most;
    if (least == most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                     signature.function_name, most, most == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                     signature.function_name, least, most, given);
    }
    return false;
}

bool raise_missing(const Signature& signature, std::span<PyObject*> out) {
    std::string names;
    std::size_t count = 0;
    std::size_t missing_total = 0;
    for (std::size_t i = 0; i < signature.required_count; ++i) {
        if (out[i] == nullptr) ++missing_total;
    }
    for (std::size_t i = 0; i < signature.required_count; ++i) {
        if (out[i] != nullptr) continue;
        ++count;
        if (count > 1) names += count == missing_total ? (missing_total > 2 ? ", and " : " and ") : ", ";
        names += '\'';
        names += signature.names[i];
        names += '\'';
    }
    const bool keyword_only = signature.required_count > signature.positional_count;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", signature.function_name, count,
                 keyword_only ? "keyword-only" : "positional", count == 1 ? "" : "s", names.c_str());
    return false;
}

// Places one keyword argument; false with TypeError set when it does not fit.
bool place_keyword(const Signature& signature, PyObject* key, PyObject* value, std::span<PyObject*> out) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) != 0) continue;
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function_name,
                         signature.names[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function_name, key);
    return false;
}

bool place_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      std::span<PyObject*> out) {
    if (static_cast<std::size_t>(nargs) > signature.positional_count) {
        return raise_too_many_positional(signature, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    return true;
}

bool check_required(const Signature& signature, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < signature.required_count; ++i) {
        if (out[i] == nullptr) return raise_missing(signature, out);
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    if (!place_positional(signature, args, nargs, out)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
        }
    }
    return check_required(signature, out);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    for (PyObject*& slot : out) slot = nullptr;
    if (!place_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!place_keyword(signature, key, value, out)) return false;
        }
    }
    return check_required(signature, out);
}

}  // namespace zorvo::python
