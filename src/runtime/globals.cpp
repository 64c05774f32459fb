// Module-level names, looked up at each use as Python code looks them up.
#include "runtime/calls.hpp"
#include "runtime/internal.hpp"

namespace zelkor {
namespace {

KeywordNames name_keyword{"name"};

// NameError(message, name=key): the interpreter sets .name, which its
// tracebacks use for their "Did you mean" suggestions.
void raise_name_error(PyObject* key) noexcept {
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%U' is not defined", key));
    PyObject* keywords = message ? name_keyword.get() : nullptr;
    if (keywords == nullptr) {
        return;
    }
    PyObject* args[] = {message.get(), key};
    Ref error = Ref::steal(PyObject_Vectorcall(PyExc_NameError, args, 1, keywords));
    if (error) {
        PyErr_SetObject(PyExc_NameError, error.get());
    }
}

}  // namespace

Ref global(Function& function, Name& name) noexcept {
    PyObject* key = name.get();
    if (key == nullptr) {
        return {};
    }
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(function.globals, key, &value);
    if (found == 0) {
        found = PyDict_GetItemRef(function.builtins, key, &value);
    }
    if (found == 0) {
        raise_name_error(key);
    }
    return Ref::steal(value);
}

}  // namespace zelkor
