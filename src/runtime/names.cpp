#include "runtime/names.hpp"

namespace zelkor {

PyObject* Name::get() noexcept {
    if (interned_ == nullptr) {
        interned_ = PyUnicode_InternFromString(text_);
    }
    return interned_;
}

PyObject* Constant::get() noexcept {
    if (object_ == nullptr) {
        object_ = make_();
    }
    return object_;
}

PyObject* make_keyword_names(const char* const* texts, std::size_t count) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) {
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(texts[i]);
        if (name == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

}  // namespace zelkor
