#include "runtime/errors.hpp"

#include <utility>

namespace zelkor {
namespace {

// The handled-exception slot of what runs now: the innermost frame,
// generator or coroutine of this thread's exception stack. Null (or None)
// when it handles nothing.
PyObject*& innermost_handled() noexcept {
    return PyThreadState_Get()->exc_info->exc_value;
}

}  // namespace

HandledScope::HandledScope(PyObject* error) noexcept
    : previous_(Ref::steal(std::exchange(innermost_handled(), Py_XNewRef(error)))) {}

HandledScope::~HandledScope() {
    // Whatever ran in the scope has returned, so the stack is as it was on
    // entry. What the scope set is released after the slot holds the old
    // value again: releasing may run other code.
    Py_XDECREF(std::exchange(innermost_handled(), previous_.release()));
}

}  // namespace zelkor
