#include "runtime/cached.hpp"

#include "runtime/state.hpp"

namespace zelkor {

PyObject* CachedObject::make_and_keep() noexcept {
    PyObject* made = make();
    if (made == nullptr) {
        return nullptr;
    }
    // Made meanwhile by another thread, or by a call that re-entered.
    PyObject* kept = nullptr;
    if (!object_.compare_exchange_strong(kept, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
        Py_DECREF(made);
        return kept;
    }
    runtime_state().remember(*this);
    return made;
}

PyObject* Name::make() const noexcept {
    return PyUnicode_InternFromString(text_);
}

Ref make_name_tuple(const char* const* texts, std::size_t count) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; tuple && i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(texts[i]);
        if (name == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

}  // namespace zelkor
