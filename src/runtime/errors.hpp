// Code that runs while an exception is being handled.
#pragma once

#include "runtime/ref.hpp"

namespace zelkor {

// Makes `error` the exception being handled (sys.exception()) for as long
// as it lives, as an except block does on entry, and puts back what was
// handled before when it ends, as the block does on exit.
//
// The interpreter keeps the handled exception per generator and coroutine
// as well as per thread, in a stack of slots; its C API reads the innermost
// slot that is set but writes the innermost one of all, and so cannot put
// back an empty innermost slot over a set outer one (a generator that
// handles the very object its caller handles would lose it). The scope
// therefore works on the innermost slot itself: what it held, empty
// included, is what it holds again afterwards.
class HandledScope {
public:
    explicit HandledScope(PyObject* error) noexcept;
    ~HandledScope();
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    Ref previous_;  // what the innermost slot held; empty if it was empty
};

// Runs `body` as Python runs
//
//     except BaseException as error:
//         body(error)
//         raise
//
// for the exception being raised now: `error` is the handled exception
// while `body` runs, so whatever `body` raises gets its context by the
// interpreter's own rules. Afterwards the exception raised by `body`, if
// any, propagates; otherwise the original one does again.
template <typename Body>
void except_and_reraise(Body&& body) noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref raised;
    {
        HandledScope handling(error.get());
        body(error.get());
        raised = Ref::steal(PyErr_GetRaisedException());
    }
    PyErr_SetRaisedException(raised ? raised.release() : error.release());
}

}  // namespace zelkor
