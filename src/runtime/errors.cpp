#include "runtime/errors.hpp"

namespace zelkor {
namespace {

Ref context_of(PyObject* exception) noexcept {
    return Ref::steal(PyException_GetContext(exception));
}

// The last exception of the chain from `raised` before `handled` or the
// chain's end. Empty if `error` is on the chain already, or if the chain
// runs in a circle (found as the interpreter finds one: a second walker at
// half the speed meets the first).
Ref last_before(PyObject* raised, PyObject* error, PyObject* handled) noexcept {
    Ref link = Ref::borrow(raised);
    Ref slow = Ref::borrow(raised);
    for (bool move_slow = false;; move_slow = !move_slow) {
        Ref next = context_of(link.get());
        if (next.get() == error) {
            return {};
        }
        if (!next || next.get() == handled) {
            return link;
        }
        link = std::move(next);
        if (move_slow) {
            slow = context_of(slow.get());
        }
        if (link.get() == slow.get()) {
            return {};
        }
    }
}

// Whether `object` is on the chain from `first` to `last`.
bool on_chain(PyObject* first, PyObject* last, PyObject* object) noexcept {
    for (Ref link = Ref::borrow(first); link; link = context_of(link.get())) {
        if (link.get() == object) {
            return true;
        }
        if (link.get() == last) {
            return false;
        }
    }
    return false;
}

// Ends the chain from `error` where it would lead back to `first`..`last`.
void cut_circle(PyObject* error, PyObject* first, PyObject* last) noexcept {
    Ref link = Ref::borrow(error);
    Ref slow = Ref::borrow(error);
    for (bool move_slow = false;; move_slow = !move_slow) {
        Ref next = context_of(link.get());
        if (!next) {
            return;
        }
        if (on_chain(first, last, next.get())) {
            PyException_SetContext(link.get(), nullptr);
            return;
        }
        link = std::move(next);
        if (move_slow) {
            slow = context_of(slow.get());
        }
        if (link.get() == slow.get()) {
            return;
        }
    }
}

}  // namespace

void chain_to(PyObject* raised, PyObject* error, PyObject* handled) noexcept {
    if (error == nullptr || raised == error) {
        return;
    }
    Ref last = last_before(raised, error, handled);
    if (last) {
        cut_circle(error, raised, last.get());
        PyException_SetContext(last.get(), Py_NewRef(error));
    }
}

}  // namespace zelkor
