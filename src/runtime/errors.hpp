// Code that runs while an exception is being handled.
#pragma once

#include "runtime/ref.hpp"

namespace zelkor {

// Makes `error` the exception being handled (sys.exception()) for as long
// as it lives, as an except block does on entry, and puts back what was
// handled before when it ends, as the block does on exit.
//
// The interpreter keeps the handled exception per generator and coroutine
// as well as per thread; its C API reads the innermost one that is set but
// writes the innermost one of all. Putting back what was read would give a
// generator its caller's exception, so the innermost one is put back as it
// was: cleared, then set again only if clearing it changed what is read.
// (Cleared stays cleared where a generator handles the very object its
// caller handles too; only that generator's sys.exception() after it is
// resumed elsewhere can tell.)
class HandledScope {
public:
    explicit HandledScope(PyObject* error) noexcept;
    ~HandledScope();
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    Ref previous_;
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
