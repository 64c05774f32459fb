#include "runtime/errors.hpp"

namespace zelkor {

HandledScope::HandledScope(PyObject* error) noexcept : previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(error);
}

HandledScope::~HandledScope() {
    PyErr_SetHandledException(nullptr);
    Ref outer = Ref::steal(PyErr_GetHandledException());
    if (outer.get() != previous_.get()) {
        PyErr_SetHandledException(previous_.get());
    }
}

}  // namespace zelkor
