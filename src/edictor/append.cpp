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
zelkor::Name update_binary{"r+b"};
zelkor::CachedValue unbuffered{[] { return PyLong_FromLong(0); }};

// path.open(mode, buffering=0), positionally, as pathlib takes it.
Ref open_unbuffered(PyObject* path, zelkor::Name& mode_name) noexcept {
    PyObject* mode = mode_name.get();
    PyObject* buffering = mode ? unbuffered.get() : nullptr;
    return buffering ? call_method(path, open_name, mode, buffering) : Ref();
}

// The count a write() returned: how many of the `offered` bytes it took.
// None means none (a file that would block). A count outside 0..offered is
// refused, as the interpreter's buffered writer refuses it.
Py_ssize_t accepted_count(PyObject* count, Py_ssize_t offered) noexcept {
    if (count == Py_None) {
        return 0;
    }
    const Py_ssize_t accepted = PyLong_AsSsize_t(count);
    if (accepted == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (accepted < 0 || accepted > offered) {
        PyErr_Format(PyExc_OSError,
                     "raw write() returned invalid length %zd (should have been between 0 and %zd)",
                     accepted, offered);
        return -1;
    }
    return accepted;
}

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
        Ref count = rest ? call_method(file, write_name, rest.get()) : Ref();
        const Py_ssize_t accepted = count ? accepted_count(count.get(), size - written) : -1;
        if (accepted < 0) {
            return false;
        }
        if (accepted == 0) {
            PyErr_SetString(PyExc_OSError, "the file took none of the bytes written to it");
            return false;
        }
        written += accepted;
    }
    return true;
}

// try: file.truncate(length)
// finally: file.close()
bool truncate_and_close(PyObject* file, PyObject* length) noexcept {
    if (!call_method(file, truncate_name, length)) {
        zelkor::except_and_reraise([&](PyObject*) { call_method(file, close_name); });
        return false;
    }
    return static_cast<bool>(call_method(file, close_name));
}

// Cuts the file back to `length` through a new handle, made by the path
// object as the first one was.
void cut_back(PyObject* path, PyObject* length) noexcept {
    Ref file = open_unbuffered(path, update_binary);
    if (file) {
        truncate_and_close(file.get(), length);
    }
}

}  // namespace

// As Python:
//
//     file = path.open("ab", 0)
//     try:
//         length = file.tell()
//         write_all(file, data)
//     except BaseException:
//         file.truncate(length), then file.close(), as above
//         raise
//     try:
//         file.close()
//     except BaseException:
//         cut_back(path, length)
//         raise
//
// A failed close counts as a failed write: write-back errors (network file
// systems, quotas) are reported there, and the block may be incomplete.
bool append_or_restore(PyObject* path, PyObject* data) noexcept {
    Ref file = open_unbuffered(path, append_binary);
    if (!file) {
        return false;
    }
    Ref length = call_method(file.get(), tell_name);
    if (!length) {
        zelkor::except_and_reraise([&](PyObject*) { call_method(file.get(), close_name); });
        return false;
    }
    if (!write_all(file.get(), data)) {
        zelkor::except_and_reraise([&](PyObject*) { truncate_and_close(file.get(), length.get()); });
        return false;
    }
    if (!call_method(file.get(), close_name)) {
        zelkor::except_and_reraise([&](PyObject*) { cut_back(path, length.get()); });
        return false;
    }
    return true;
}

}  // namespace edictor
