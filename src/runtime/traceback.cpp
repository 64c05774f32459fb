// The traceback entry that names a native function in a binding error.
#include "runtime/calls.hpp"
#include "runtime/errors.hpp"
#include "runtime/internal.hpp"

#include <frameobject.h>

#include <atomic>

namespace zelkor {
namespace {

// The frame type's descriptor of `name`: setting through it is what
// setattr(frame, name, value) does, without looking the name up.
PyObject* frame_descriptor(const char* name) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(&PyFrame_Type));
    Ref key = dict ? Ref::steal(PyUnicode_FromString(name)) : Ref();
    PyObject* descriptor = nullptr;
    if (!key || PyDict_GetItemRef(dict.get(), key.get(), &descriptor) < 0) {
        return nullptr;
    }
    if (descriptor == nullptr) {
        PyErr_Format(PyExc_AttributeError, "frame has no attribute '%s'", name);
    }
    return descriptor;
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
// error, so a frame is kept for the next entry and used again once no
// traceback holds it any more, after putting back what code that held it
// (a debugger, say) can have changed: its trace settings and its locals.
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

// A new frame for the function's entry, and the locals dict it is made with.
Ref new_frame(Function& function, Ref& locals) noexcept {
    auto* code = reinterpret_cast<PyCodeObject*>(function.traceback_code);
    locals = Ref::steal(PyDict_New());
    return locals ? Ref::steal(reinterpret_cast<PyObject*>(
                        PyFrame_New(PyThreadState_Get(), code, function.globals, locals.get())))
                  : Ref();
}

// Keeps a new frame and its locals for the function's next entry, and tells
// whether a kept frame's locals are still its own: nothing but its keepers
// holds them (below, one way with the GIL and one without).
bool keep_frame(Function& function, PyObject* frame, PyObject* locals) noexcept;
bool held_only_by_keepers(PyObject* locals, PyObject* made_with) noexcept;

// The kept frame, reset, or a new one that is kept from now on. A frame
// whose locals someone else holds (a reader that kept f_locals) is left to
// them, so that what they hold is neither cleared nor shared.
Ref reused_or_new(Ref frame, PyObject* made_with, Function& function) noexcept {
    if (frame) {
        // Held: the reset may run other code, even this function.
        Ref locals = frame_locals(frame.get(), made_with);
        if (!locals) {
            return {};
        }
        if (held_only_by_keepers(locals.get(), made_with)) {
            return reset(frame.get(), locals.get()) ? std::move(frame) : Ref();
        }
    }
    Ref locals;
    frame = new_frame(function, locals);
    return frame && keep_frame(function, frame.get(), locals.get()) ? std::move(frame) : Ref();
}

#ifdef Py_GIL_DISABLED

// Without the GIL, each thread keeps its own frame for each function, in the
// thread state's dictionary under the function's frame key: only the
// thread that made a frame resets it, so threads never wait for each other,
// and the frame lives as long as the thread.

// Whether nothing holds `object`, which this thread made, but the
// `references` this thread knows of. Other threads change only the object's
// shared count, each by an atomic read-modify-write that releases what it
// did to the object (a debugger's f_trace, a reader's entry in the locals);
// reading the count with acquire ordering puts all of that before this
// thread's reset.
bool held_only_here(PyObject* object, Py_ssize_t references) noexcept {
    const Py_ssize_t shared = std::atomic_ref(object->ob_ref_shared).load(std::memory_order_acquire);
    return shared == 0 && Py_REFCNT(object) == references;
}

// The frame's reference and the one taken from it. Whether the frame was
// made with them or not (frame.clear() drops a frame's locals, and the
// frame makes new ones when asked), no one else can see them.
bool held_only_by_keepers(PyObject* locals, PyObject*) noexcept {
    return held_only_here(locals, 2);
}

bool keep_frame(Function& function, PyObject* frame, PyObject*) noexcept {
    PyObject* kept_frames = PyThreadState_GetDict();
    // Without a dictionary (it could not be made), the frame is not kept.
    return kept_frames == nullptr || PyDict_SetItem(kept_frames, function.frame_key, frame) == 0;
}

Ref entry_frame(Function& function) noexcept {
    PyObject* kept_frames = PyThreadState_GetDict();
    PyObject* found = nullptr;
    if (kept_frames != nullptr && PyDict_GetItemRef(kept_frames, function.frame_key, &found) < 0) {
        return {};
    }
    // Held by this thread's dictionary and by `frame`.
    Ref frame = Ref::steal(found);
    if (frame && !held_only_here(frame.get(), 2)) {
        frame = Ref();
    }
    return reused_or_new(std::move(frame), nullptr, function);
}

#else

// With the GIL, the function keeps the frame of its last entry and the
// locals it was made with, for whichever thread needs one next.

// The frame's reference, the function's and the one taken from it. The
// function holds the dict the frame was made with: other locals (after
// frame.clear(), which drops them, the frame makes new ones when asked)
// have a reader's reference in the function's place.
bool held_only_by_keepers(PyObject* locals, PyObject* made_with) noexcept {
    return locals == made_with && Py_REFCNT(locals) == 3;
}

// Keeps `frame` and its locals in the function, in place of the ones before.
bool keep_frame(Function& function, PyObject* frame, PyObject* locals) noexcept {
    PyObject* old_frame = std::exchange(function.traceback_frame, Py_NewRef(frame));
    PyObject* old_locals = std::exchange(function.traceback_locals, Py_NewRef(locals));
    // Released last: releasing may run other code.
    Py_XDECREF(old_frame);
    Py_XDECREF(old_locals);
    return true;
}

// The kept frame, if nothing else holds it.
Ref entry_frame(Function& function) noexcept {
    PyObject* kept = function.traceback_frame;
    Ref frame = kept != nullptr && Py_REFCNT(kept) == 1 ? Ref::borrow(kept) : Ref();
    return reused_or_new(std::move(frame), function.traceback_locals, function);
}

#endif

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
