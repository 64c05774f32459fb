// Code that runs while an exception is being handled.
#pragma once

#include "runtime/ref.hpp"

namespace zelkor {

// Runs `body` as Python runs
//
//     except BaseException as error:
//         body(error)
//         raise
//
// for the exception being raised now: while `body` runs, that exception is
// the one being handled, so whatever `body` raises gets it as __context__ by
// the interpreter's own rules (cycles avoided, nested handlers included).
// Afterwards the exception raised by `body`, if any, propagates; otherwise
// the original one does again.
template <typename Body>
void except_and_reraise(Body&& body) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(error);
    body(error);
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    if (PyErr_Occurred()) {
        Py_XDECREF(error);
    } else {
        PyErr_SetRaisedException(error);
    }
}

}  // namespace zelkor
