#include "runtime/state.hpp"

#include "runtime/cached.hpp"
#include "runtime/static_type.hpp"

#include <utility>

namespace zelkor {
namespace {

RuntimeState the_state;

constexpr const char* kCapsuleName = "zelkor runtime state";

}  // namespace

RuntimeState& runtime_state() noexcept {
    return the_state;
}

void RuntimeState::remember(CachedObject& cached) noexcept {
#ifdef Py_GIL_DISABLED
    PyMutex_Lock(&cached_lock_);
#endif
    cached.next_ = cached_;
    cached_ = &cached;
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&cached_lock_);
#endif
}

// The owner's dictionary for extensions holds a capsule of the state while
// the state is bound to it; the capsule goes when the owner is cleared.
bool RuntimeState::bind(const char* module_name) noexcept {
    PyInterpreterState* current = PyInterpreterState_Get();
    PyObject* interpreter_dict = PyInterpreterState_GetDict(current);
    if (interpreter_dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no dictionary for extension state");
        return false;
    }
    Ref key = Ref::steal(PyUnicode_FromFormat("%s runtime state", module_name));
    if (!key) {
        return false;
    }
    PyObject* found = nullptr;
    const int holds_capsule = PyDict_GetItemRef(interpreter_dict, key.get(), &found);
    if (holds_capsule < 0) {
        return false;
    }
    const bool bound_here = found != nullptr && found == capsule_ && owner_ == current;
    Py_XDECREF(found);
    if (bound_here) {
        return true;
    }
    if (owner_ != nullptr && owner_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    // Unbound, or left bound by a runtime that has finished (the interpreter
    // of a new runtime may have the old one's address): start afresh.
    forget();
    Ref capsule = Ref::steal(PyCapsule_New(this, kCapsuleName, on_owner_cleared));
    if (!capsule || PyDict_SetItem(interpreter_dict, key.get(), capsule.get()) < 0) {
        return false;
    }
    owner_ = current;
    capsule_ = capsule.get();
    holders_.store(1, std::memory_order_relaxed);
    return true;
}

void RuntimeState::hold() noexcept {
    holders_.fetch_add(1, std::memory_order_relaxed);
}

// The last holder releases what the state keeps; whatever it did to those
// objects happens before.
void RuntimeState::drop() noexcept {
    if (holders_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        release();
    }
}

// Called as the capsule is deallocated: whatever was being raised stays.
void RuntimeState::on_owner_cleared(PyObject* capsule) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    auto* state = static_cast<RuntimeState*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (state != nullptr && state->capsule_ == capsule) {  // not one of an earlier binding
        state->owner_ = nullptr;
        state->capsule_ = nullptr;
        Py_CLEAR(state->module);
        Py_CLEAR(state->executing);
        state->drop();
    }
    PyErr_SetRaisedException(raised);
}

void RuntimeState::release() noexcept {
    // Popped one by one: releasing one may cache another.
    while (CachedObject* cached = cached_) {
        cached_ = cached->next_;
        cached->next_ = nullptr;
        Py_XDECREF(cached->object_.exchange(nullptr));
    }
    for (PyTypeObject** type : {&module_function_type, &bound_method_type, &class_function_type}) {
        release_static_type(std::exchange(*type, nullptr));
    }
}

// The objects of a finished runtime are gone with it, or never go (a
// function it leaked): drop the pointers.
void RuntimeState::forget() noexcept {
    owner_ = nullptr;
    capsule_ = nullptr;
    module = nullptr;
    executing = nullptr;
    module_function_type = nullptr;
    bound_method_type = nullptr;
    class_function_type = nullptr;
    while (CachedObject* cached = cached_) {
        cached_ = cached->next_;
        cached->next_ = nullptr;
        cached->object_.store(nullptr);
    }
}

}  // namespace zelkor
