// The traceback entry that names a native function in a binding error.
#include "runtime/errors.hpp"
#include "runtime/function_object.hpp"

#include <frameobject.h>

namespace zelkor {

void add_traceback_entry(const Function& function) noexcept {
    // A frame object is the only thing a traceback entry can point to; it
    // carries the entry's file name, dotted name and line through its code.
    PyObject* error = PyErr_GetRaisedException();
    auto* code = reinterpret_cast<PyCodeObject*>(function.traceback_code);
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, function.globals, nullptr);
    if (frame == nullptr) {
        raise_in_context_of(error);
        return;
    }
    PyErr_SetRaisedException(error);
    PyTraceBack_Here(frame);  // on failure it raises, chained to `error`
    Py_DECREF(frame);
}

}  // namespace zelkor
