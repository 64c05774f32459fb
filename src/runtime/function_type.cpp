// The type of the function objects: its slots and its making.
#include "runtime/internal.hpp"
#include "runtime/state.hpp"
#include "runtime/static_type.hpp"

namespace zelkor {
namespace {

Function* as_function(PyObject* object) noexcept {
    return reinterpret_cast<Function*>(object);
}

// Through an instance: a bound method, made by `bind`. Through the class:
// the function itself.
template <PyObject* (*bind)(PyObject* function, PyObject* instance)>
PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return bind(self, instance);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function& f = *as_function(self);
    Py_VISIT(f.name);
    Py_VISIT(f.qualname);
    Py_VISIT(f.globals);
    Py_VISIT(f.builtins);
    Py_VISIT(f.doc);
    Py_VISIT(f.base.m_module);
    Py_VISIT(f.annotations);
#if PY_VERSION_HEX >= 0x030E0000
    Py_VISIT(f.annotate);
#endif
    Py_VISIT(f.defaults);
    Py_VISIT(f.kwdefaults);
    Py_VISIT(f.type_params);
    Py_VISIT(f.dict);
#ifndef Py_GIL_DISABLED
    Py_VISIT(f.traceback_frame);
    Py_VISIT(f.traceback_locals);
#endif
    return 0;
}

// The fields that can take part in a reference cycle, besides the names.
void release_cycle_fields(Function& f) noexcept {
    Py_CLEAR(f.doc);
    Py_CLEAR(f.base.m_module);
    Py_CLEAR(f.annotations);
#if PY_VERSION_HEX >= 0x030E0000
    Py_CLEAR(f.annotate);
#endif
    Py_CLEAR(f.defaults);
    Py_CLEAR(f.kwdefaults);
    Py_CLEAR(f.type_params);
    Py_CLEAR(f.dict);
#ifndef Py_GIL_DISABLED
    Py_CLEAR(f.traceback_frame);
    Py_CLEAR(f.traceback_locals);
#endif
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
    Function& f = *as_function(self);
    PyObject_GC_UnTrack(self);
    clear_weak_references(self, f.base.m_weakreflist);
    release_cycle_fields(f);
    Py_CLEAR(f.name);
    Py_CLEAR(f.qualname);
    Py_CLEAR(f.globals);
    Py_CLEAR(f.builtins);
    Py_CLEAR(f.parameter_names);
    Py_CLEAR(f.code);
    Py_CLEAR(f.traceback_code);
#ifdef Py_GIL_DISABLED
    Py_CLEAR(f.frame_key);
#endif
    PyObject_GC_Del(self);
    // The last function of a cleared owner releases the types, its own too.
    runtime_state().drop();
    PyErr_SetRaisedException(raised);
}

// The qualified name, which another thread may replace meanwhile (see the
// setters of attributes.cpp).
PyObject* qualname_of(PyObject* self) noexcept {
    PyObject* qualname;
    Py_BEGIN_CRITICAL_SECTION(self);
    qualname = Py_NewRef(as_function(self)->qualname);
    Py_END_CRITICAL_SECTION();
    return qualname;
}

PyObject* repr(PyObject* self) noexcept {
    Ref qualname = Ref::steal(qualname_of(self));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// Pickled by reference, like a Python function: the qualified name is looked
// up in the module again when loading.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    return qualname_of(self);
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

StaticType module_level_storage;
StaticType class_body_storage;

// "<module>.native_function", a subtype of the built-in function type, or
// "<module>.native_method_function", a subtype of object.
PyTypeObject* make_type(PyObject* module_name, Placement placement) noexcept {
    const bool module_level = placement == Placement::module_level;
    StaticType& storage = module_level ? module_level_storage : class_body_storage;
    PyTypeObject* made = storage.make(module_name, module_level ? "native_function" : "native_method_function");
    if (made == nullptr) {
        return nullptr;
    }
    PyTypeObject& type = *made;
    type.tp_basicsize = sizeof(Function);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                    Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_base = module_level ? &PyCFunction_Type : &PyBaseObject_Type;
    type.tp_vectorcall_offset = offsetof(PyCFunctionObject, vectorcall);
    type.tp_weaklistoffset = offsetof(PyCFunctionObject, m_weakreflist);
    type.tp_dictoffset = offsetof(Function, dict);
    type.tp_dealloc = dealloc;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_repr = repr;
    type.tp_call = PyVectorcall_Call;
    // A function defined in a class binds as a Python function does.
    type.tp_descr_get = module_level ? descr_get<bind_method> : descr_get<PyMethod_New>;
    // Compared and hashed by identity, as functions are: the built-in
    // function's own rules compare what `m_self` and `m_ml` point to.
    type.tp_hash = PyBaseObject_Type.tp_hash;
    type.tp_richcompare = PyBaseObject_Type.tp_richcompare;
    type.tp_getset = function_getset;
    type.tp_members = function_members;
    type.tp_methods = methods;
    return PyType_Ready(&type) == 0 ? &type : nullptr;
}

}  // namespace

PyTypeObject* function_type(PyObject* module_name, Placement placement) noexcept {
    RuntimeState& state = runtime_state();
    if (placement == Placement::class_body) {
        if (state.class_function_type == nullptr) {
            state.class_function_type = make_type(module_name, placement);
        }
        return state.class_function_type;
    }
    if (state.bound_method_type == nullptr) {
        state.bound_method_type = make_bound_method_type(module_name);
    }
    if (state.bound_method_type != nullptr && state.module_function_type == nullptr) {
        state.module_function_type = make_type(module_name, placement);
    }
    return state.module_function_type;
}

bool is_function(PyObject* object) noexcept {
    const RuntimeState& state = runtime_state();
    PyTypeObject* type = Py_TYPE(object);
    return type == state.module_function_type || type == state.class_function_type;
}

}  // namespace zelkor
