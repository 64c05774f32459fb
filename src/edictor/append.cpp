#include "edictor/append.hpp"

#include "runtime/calls.hpp"
#include "runtime/errors.hpp"

namespace edictor {
namespace {

using zelkor::call_method;
using zelkor::Ref;

zelkor::Name open_name{"open"};
zelkor::Name tell_name{"tell"};
zelkor::Name write_name{"write"};
zelkor::Name truncate_name{"truncate"};
zelkor::Name close_name{"close"};
zelkor::Name append_binary{"ab"};
zelkor::Constant unbuffered{[] { return PyLong_FromLong(0); }};

// An unbuffered file may take fewer bytes than offered; offer the rest again
// until all are written or the file refuses with an error.
bool write_all(PyObject* file, PyObject* data) noexcept {
    Ref view = Ref::steal(PyMemoryView_FromObject(data));
    if (!view) {
        return false;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    for (Py_ssize_t written = 0; written < size;) {
        Ref rest = Ref::steal(PySequence_GetSlice(view.get(), written, size));
        if (!rest) {
            return false;
        }
        Ref count = call_method(file, write_name, rest.get());
        if (!count) {
            return false;
        }
        const Py_ssize_t taken = count.get() == Py_None ? 0 : PyLong_AsSsize_t(count.get());
        if (taken == -1 && PyErr_Occurred()) {
            return false;
        }
        if (taken <= 0) {
            PyErr_SetString(PyExc_OSError, "the file took none of the bytes written to it");
            return false;
        }
        written += taken;
    }
    return true;
}

// Cuts the file back after a failed write and closes it. The write's error
// stays the one raised; should the clean-up fail as well, its error is raised
// with the write's error as context, as in an except block.
void restore(PyObject* file, PyObject* length) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    if (length != nullptr && !call_method(file, truncate_name, length)) {
        zelkor::raise_in_context_of(error);
        error = PyErr_GetRaisedException();
    }
    if (!call_method(file, close_name)) {
        zelkor::raise_in_context_of(error);
        return;
    }
    PyErr_SetRaisedException(error);
}

}  // namespace

bool append_or_restore(PyObject* path, PyObject* data) noexcept {
    PyObject* mode = append_binary.get();
    PyObject* buffering = mode ? unbuffered.get() : nullptr;
    if (buffering == nullptr) {
        return false;
    }
    Ref file = call_method(path, open_name, mode, buffering);
    if (!file) {
        return false;
    }
    Ref length = call_method(file.get(), tell_name);
    if (!length || !write_all(file.get(), data)) {
        restore(file.get(), length.get());
        return false;
    }
    return static_cast<bool>(call_method(file.get(), close_name));
}

}  // namespace edictor
