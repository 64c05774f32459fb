#include "runtime/static_type.hpp"

#include <cstddef>

namespace zelkor {
namespace {

// The header of a static type object as the C API writes it (the macro ends
// in a comma, as in an array's initialiser).
const PyVarObject static_header[] = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

PyTypeObject* StaticType::reset(PyObject* module_name, const char* name) noexcept {
    const char* module = PyUnicode_AsUTF8(module_name);
    if (module == nullptr) {
        return nullptr;
    }
    const int length = PyOS_snprintf(name_, sizeof name_, "%s.%s", module, name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof name_) {
        PyErr_Format(PyExc_SystemError, "type name too long: %s.%s", module, name);
        return nullptr;
    }
    type_ = PyTypeObject{};
    type_.ob_base = static_header[0];
    type_.tp_name = name_;
    return &type_;
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
