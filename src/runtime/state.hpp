// What an extension library keeps beyond a single call, and for how long.
#pragma once

#include "runtime/ref.hpp"

#include <atomic>

namespace zelkor {

class CachedObject;

// The library's process-wide state: its module object, the type of its
// functions and the objects it caches (names, keyword tuples, constants).
// Each library (the runtime is linked into each) has exactly one.
//
// It is bound to the interpreter that first loads the library's module, the
// owner, when the module is created. It lives as long as the owner or any
// of the library's function objects: Python code still runs while the owner
// is cleared (Py_FinalizeEx), and may call, bind or inspect a function that
// outlived the module. The owner's hold on the module goes when the owner
// is cleared; the types and cached objects go when the last function does.
// An interpreter started afterwards in the same process (an application
// that embeds Python and initialises it again) then loads the module afresh.
//
// The fields are plain pointers, not Refs: a static destructor must never
// release an object after the interpreter is gone.
class RuntimeState {
public:
    // Binds the state to the running interpreter, unless it is bound to it
    // already. False with ImportError if another interpreter owns it.
    bool bind(const char* module_name) noexcept;

    // Keeps `cached` until the state is released.
    void remember(CachedObject& cached) noexcept;

    // Taken by each function object when it is made and dropped when it is
    // deallocated, as the owner holds the state until it is cleared.
    void hold() noexcept;
    void drop() noexcept;

    // Written only while the library's module is made and executed, which
    // the import system serialises, before any other thread can reach the
    // module's functions; read by any thread afterwards.
    PyObject* module = nullptr;             // the initialised module
    PyObject* executing = nullptr;          // the module being executed
    // Made with the first function of each placement. Static types: what
    // readying them made is released with the state, and the next owner
    // makes them afresh.
    PyTypeObject* module_function_type = nullptr;
    PyTypeObject* bound_method_type = nullptr;    // of the module-level functions
    PyTypeObject* class_function_type = nullptr;  // functions defined in a class

private:
    static void on_owner_cleared(PyObject* capsule) noexcept;
    void release() noexcept;
    void forget() noexcept;

    // The owner, while it is not cleared, and each function object alive.
    std::atomic<Py_ssize_t> holders_{0};

    // Set and read while a module of the library is made and executed (the
    // import system serialises that), and when the owner is cleared.
    PyInterpreterState* owner_ = nullptr;
    PyObject* capsule_ = nullptr;     // in the owner's dictionary; identity only
    // The objects to release, linked; any thread adds to it (remember),
    // under the lock where threads run at once.
    CachedObject* cached_ = nullptr;
#ifdef Py_GIL_DISABLED
    PyMutex cached_lock_{};
#endif
};

// The state of this library.
RuntimeState& runtime_state() noexcept;

}  // namespace zelkor
