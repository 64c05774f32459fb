// The traceback entry that names a native function in a binding error.
#include "runtime/errors.hpp"
#include "runtime/function_object.hpp"

#include <frameobject.h>

namespace zelkor {
namespace {

// A frame object is the only thing a traceback entry can point to; it carries
// the entry's file name, dotted name and line through its code. It is never
// executed, so one frame serves every entry of the function.
PyObject* traceback_frame(Function& function) noexcept {
    if (function.traceback_frame == nullptr) {
        auto* code = reinterpret_cast<PyCodeObject*>(function.traceback_code);
        function.traceback_frame = reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), code, function.globals, nullptr));
    }
    return function.traceback_frame;
}

}  // namespace

void add_traceback_entry(Function& function) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    PyObject* frame = traceback_frame(function);
    if (frame == nullptr) {
        raise_in_context_of(error);
        return;
    }
    PyErr_SetRaisedException(error);
    // On failure it raises, with the binding error as context.
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

}  // namespace zelkor
