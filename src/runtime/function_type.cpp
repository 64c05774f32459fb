// The type of the function objects: its slots and its making.
#include "runtime/internal.hpp"
#include "runtime/state.hpp"

namespace zelkor {
namespace {

Function* as_function(PyObject* object) noexcept {
    return reinterpret_cast<Function*>(object);
}

// Through an instance: a bound method. Through the class: the function itself.
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function& f = *as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f.name);
    Py_VISIT(f.qualname);
    Py_VISIT(f.globals);
    Py_VISIT(f.builtins);
    Py_VISIT(f.doc);
    Py_VISIT(f.module);
    Py_VISIT(f.annotations);
    Py_VISIT(f.dict);
    Py_VISIT(f.traceback_frame);
    Py_VISIT(f.traceback_locals);
    return 0;
}

// The fields that can take part in a reference cycle, besides the names.
void release_cycle_fields(Function& f) noexcept {
    Py_CLEAR(f.doc);
    Py_CLEAR(f.module);
    Py_CLEAR(f.annotations);
    Py_CLEAR(f.dict);
    Py_CLEAR(f.traceback_frame);
    Py_CLEAR(f.traceback_locals);
}

// Like a Python function's clear: what may hold a cycle is released, and the
// name and qualname (a str subclass may) become the empty str, so that every
// slot keeps working on the cleared object. The namespaces stay: a dict
// breaks a cycle through it with its own clear.
int clear(PyObject* self) noexcept {
    Function& f = *as_function(self);
    PyObject* empty = PyUnicode_New(0, 0);  // the empty str, a singleton
    if (empty == nullptr) {
        PyErr_Clear();  // cannot happen; the old names would stay valid
    } else {
        Py_SETREF(f.name, Py_NewRef(empty));
        Py_SETREF(f.qualname, empty);
    }
    release_cycle_fields(f);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    // Releasing the fields may run other code; whatever was being raised
    // (a failure while the function was made) stays.
    PyObject* raised = PyErr_GetRaisedException();
    PyTypeObject* type = Py_TYPE(self);
    Function& f = *as_function(self);
    PyObject_GC_UnTrack(self);
    if (f.weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    release_cycle_fields(f);
    Py_CLEAR(f.name);
    Py_CLEAR(f.qualname);
    Py_CLEAR(f.globals);
    Py_CLEAR(f.builtins);
    Py_CLEAR(f.parameter_names);
    Py_CLEAR(f.defaults);
    Py_CLEAR(f.code);
    Py_CLEAR(f.traceback_code);
    type->tp_free(self);
    Py_DECREF(type);
    PyErr_SetRaisedException(raised);
}

PyObject* repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference, like a Python function: the qualified name is looked
// up in the module again when loading.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// The member __vectorcalloffset__ only tells the type where the vectorcall
// pointer is; left in the type's dict, it would read that pointer, a code
// address, out of every instance.
bool hide_vectorcall_offset(PyTypeObject* type) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict || PyDict_DelItemString(dict.get(), "__vectorcalloffset__") < 0) {
        return false;
    }
    PyType_Modified(type);
    return true;
}

// Named after the module that makes it: "<module>.native_function".
PyTypeObject* make_type(PyObject* module_name) noexcept {
    Ref qualified = Ref::steal(PyUnicode_FromFormat("%U.native_function", module_name));
    const char* text = qualified ? PyUnicode_AsUTF8(qualified.get()) : nullptr;
    if (text == nullptr) {
        return nullptr;
    }
    PyType_Spec type_spec = {
        text,  // copied by the type
        sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    auto* made = reinterpret_cast<PyTypeObject*>(type.get());
    if (!type || !hide_vectorcall_offset(made)) {
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

PyTypeObject* function_type(PyObject* module_name) noexcept {
    RuntimeState& state = runtime_state();
    if (state.function_type == nullptr) {
        state.function_type = make_type(module_name);
    }
    return state.function_type;
}

bool is_function(PyObject* object) noexcept {
    PyTypeObject* type = runtime_state().function_type;
    return type != nullptr && Py_TYPE(object) == type;
}

}  // namespace zelkor
