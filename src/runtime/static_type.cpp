#include "runtime/static_type.hpp"

#include <algorithm>
#include <cstddef>

namespace zelkor {
namespace {

// The header of a static type object as the C API writes it (the macro ends
// in a comma, as in an array's initialiser).
const PyVarObject static_header[] = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

struct StaticType::Storage {
    PyTypeObject type;
    char name[128];
    Storage* earlier;
};

PyTypeObject* StaticType::make(PyObject* module_name, const char* name) noexcept {
    const char* module = PyUnicode_AsUTF8(module_name);
    if (module == nullptr) {
        return nullptr;
    }
    char full_name[sizeof Storage::name];
    const int length = PyOS_snprintf(full_name, sizeof full_name, "%s.%s", module, name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof full_name) {
        PyErr_Format(PyExc_SystemError, "type name too long: %s.%s", module, name);
        return nullptr;
    }
    // Raw memory: the type outlives every interpreter, and is never freed.
    auto* storage = static_cast<Storage*>(PyMem_RawCalloc(1, sizeof(Storage)));
    if (storage == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    std::copy_n(full_name, sizeof full_name, storage->name);
    storage->type.ob_base = static_header[0];
    storage->type.tp_name = storage->name;
    storage->earlier = latest_;
    latest_ = storage;
    return &storage->type;
}

void release_static_type(PyTypeObject* type) noexcept {
    if (type == nullptr) {
        return;
    }
    // No look-up may find what the interpreter's caches remember of it.
    PyType_Modified(type);
    Py_CLEAR(type->tp_dict);
    Py_CLEAR(type->tp_bases);
    Py_CLEAR(type->tp_mro);
}

}  // namespace zelkor
