// The traceback entry that names a native function in a binding error.
#include "runtime/calls.hpp"
#include "runtime/errors.hpp"
#include "runtime/internal.hpp"

#include <frameobject.h>

namespace zelkor {
namespace {

// The frame type's descriptor of `name`: setting through it is what
// setattr(frame, name, value) does, without looking the name up.
PyObject* frame_descriptor(const char* name) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(&PyFrame_Type));
    PyObject* descriptor = dict ? PyDict_GetItemString(dict.get(), name) : nullptr;
    if (descriptor == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_AttributeError, "frame has no attribute '%s'", name);
    }
    return Py_XNewRef(descriptor);
}

CachedValue f_trace{[] { return frame_descriptor("f_trace"); }};
CachedValue f_trace_lines{[] { return frame_descriptor("f_trace_lines"); }};
CachedValue f_trace_opcodes{[] { return frame_descriptor("f_trace_opcodes"); }};
Name clear_name{"clear"};

bool set_frame_attribute(PyObject* frame, CachedValue& attribute, PyObject* value) noexcept {
    PyObject* descriptor = attribute.get();
    return descriptor != nullptr && Py_TYPE(descriptor)->tp_descr_set(descriptor, frame, value) == 0;
}

// The frame's locals dict. CPython 3.12 keeps the dict a frame was made with
// for the frame's whole life, but makes a new dict of hidden variables each
// time it is asked for it; 3.13 drops the dict in frame.clear() and hands
// out the frame's current one cheaply.
Ref frame_locals([[maybe_unused]] PyObject* frame, [[maybe_unused]] PyObject* made_with) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame)));
#else
    return Ref::borrow(made_with);
#endif
}

// A frame object is the only thing a traceback entry can point to: it
// carries the entry's file name, dotted name and line through its code, and
// is never executed. Making one costs more than all the rest of a binding
// error, so the function keeps the frame of its last entry and uses it again
// once no traceback holds it any more, after putting back what code that
// held it (a debugger, say) can have changed: its trace settings and its
// locals.
bool reset(PyObject* frame, PyObject* locals) noexcept {
    if (!set_frame_attribute(frame, f_trace, Py_None) ||
        !set_frame_attribute(frame, f_trace_lines, Py_True) ||
        !set_frame_attribute(frame, f_trace_opcodes, Py_False)) {
        return false;
    }
    if (!PyDict_CheckExact(locals)) {
        return static_cast<bool>(call_method(locals, clear_name));
    }
    if (PyDict_GET_SIZE(locals) > 0) {
        PyDict_Clear(locals);
    }
    return true;
}

// The function's kept frame and the locals it was made with, if nothing
// else holds the frame. Held from here on, so no other thread takes it: the
// function's fields are guarded by its critical section.
bool take_kept_frame(Function& function, Ref& frame, Ref& made_with) noexcept {
    Py_BEGIN_CRITICAL_SECTION(&function.base);
    if (PyObject* kept = function.traceback_frame; kept != nullptr && Py_REFCNT(kept) == 1) {
        frame = Ref::borrow(kept);
        made_with = Ref::borrow(function.traceback_locals);
    }
    Py_END_CRITICAL_SECTION();
    return static_cast<bool>(frame);
}

// Keeps `frame` and its locals in the function, in place of the ones before.
void keep_frame(Function& function, PyObject* frame, PyObject* locals) noexcept {
    PyObject* old_frame;
    PyObject* old_locals;
    Py_BEGIN_CRITICAL_SECTION(&function.base);
    old_frame = std::exchange(function.traceback_frame, Py_NewRef(frame));
    old_locals = std::exchange(function.traceback_locals, Py_NewRef(locals));
    Py_END_CRITICAL_SECTION();
    // Released outside the critical section: releasing may run other code.
    Py_XDECREF(old_frame);
    Py_XDECREF(old_locals);
}

// The function's frame if nothing else holds it, reset; otherwise a new
// one, which the function keeps from now on.
Ref entry_frame(Function& function) noexcept {
    if (Ref frame, made_with; take_kept_frame(function, frame, made_with)) {
        // Held: the reset may run other code, even this function.
        Ref locals = frame_locals(frame.get(), made_with.get());
        return locals && reset(frame.get(), locals.get()) ? std::move(frame) : Ref();
    }
    auto* code = reinterpret_cast<PyCodeObject*>(function.traceback_code);
    Ref locals = Ref::steal(PyDict_New());
    Ref frame = locals ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                             PyThreadState_Get(), code, function.globals, locals.get())))
                       : Ref();
    if (frame) {
        keep_frame(function, frame.get(), locals.get());
    }
    return frame;
}

}  // namespace

void add_traceback_entry(Function& function) noexcept {
    Ref frame;
    except_and_reraise([&](PyObject*) { frame = entry_frame(function); });
    if (frame) {
        // On failure it raises, with the binding error as context.
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace zelkor
