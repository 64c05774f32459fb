// Code that runs while an exception is being handled.
#pragma once

#include "runtime/ref.hpp"

namespace zelkor {

// Gives `raised`, and the exceptions it was raised in the handling of, the
// context the interpreter would have given them had `error` been handled
// as well: where their chain of contexts ends, at `handled` (the exception
// handled while they were raised) or at an exception without a context,
// `error` is put in between. Cycles are cut as the interpreter cuts them.
void chain_to(PyObject* raised, PyObject* error, PyObject* handled) noexcept;

// Runs `body` as Python runs
//
//     except BaseException as error:
//         body(error)
//         raise
//
// for the exception being raised now: whatever `body` raises gets `error`
// as its context, by the interpreter's rules. Afterwards the exception
// raised by `body`, if any, propagates; otherwise the original one does
// again.
//
// The handled exception is left as it is: the interpreter keeps one per
// generator and coroutine, and its C API reads the innermost one that is
// set but writes the innermost one of all, so that setting it and putting
// back what was read would give a generator its caller's exception.
template <typename Body>
void except_and_reraise(Body&& body) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    Ref handled = Ref::steal(PyErr_GetHandledException());
    body(error);
    if (PyObject* raised = PyErr_GetRaisedException()) {
        chain_to(raised, error, handled.get());
        Py_XDECREF(error);
        PyErr_SetRaisedException(raised);
    } else {
        PyErr_SetRaisedException(error);
    }
}

}  // namespace zelkor
