// The bound methods of module-level functions: what `instance.function`
// gives when such a function is put in a class. (A function defined in a
// class binds to the interpreter's own method type.)
//
// Their type is a subtype of the interpreter's method type, so that a bound
// method is a types.MethodType with __func__ and __self__, as for a Python
// function. It is not the method type itself because of how profilers see
// a call of one: the interpreter reports the method object as the callable
// called, which profilers do not take for a C function, then unpacks it and
// reports the built-in function inside as the C function that returned. A
// profiler then sees a return without its call, and cProfile loses its call
// stack. An object of a subtype is called as a whole, and reported at
// neither end. Otherwise it is a method as users see one: built by calling
// its type as types.MethodType is called, equal to and hashed as the
// interpreter's method of the same function and object.
#include "runtime/calls.hpp"
#include "runtime/internal.hpp"
#include "runtime/state.hpp"
#include "runtime/static_type.hpp"

namespace zelkor {
namespace {

Name name_name{"__name__"};
Name getattr_name{"getattr"};
Name doc_name{"__doc__"};

PyMethodObject* as_method(PyObject* object) noexcept {
    return reinterpret_cast<PyMethodObject*>(object);
}

// function(self, *args), as the method type calls it.
PyObject* call_bound(PyObject* method, PyObject* const* args, std::size_t nargsf,
                     PyObject* kwnames) noexcept {
    return call_with_self(call_function, as_method(method)->im_func, as_method(method)->im_self, args, nargsf,
                          kwnames);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_method(self)->im_func);
    Py_VISIT(as_method(self)->im_self);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    clear_weak_references(self, as_method(self)->im_weakreflist);
    Py_DECREF(as_method(self)->im_func);
    Py_DECREF(as_method(self)->im_self);
    PyObject_GC_Del(self);
}

PyTypeObject* bound_method_type() noexcept {
    return runtime_state().bound_method_type;
}

// Equal to a method, of this type or the interpreter's, of an equal
// function bound to the same object, as methods compare. (The method
// type's own comparison takes none of its subtypes: a comparison with an
// interpreter's method comes here from either side.)
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &PyMethod_Type)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    int equal = PyObject_RichCompareBool(as_method(self)->im_func, as_method(other)->im_func, Py_EQ);
    if (equal < 0) {
        return nullptr;
    }
    equal = equal && as_method(self)->im_self == as_method(other)->im_self;
    return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

// type(method)(function, instance), checked as types.MethodType checks it
// (weakref.WeakMethod rebuilds a method so): a method of this type for one
// of the runtime's module-level functions, the interpreter's otherwise.
PyObject* new_method(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    Ref method = Ref::steal(PyMethod_Type.tp_new(&PyMethod_Type, args, kwargs));
    if (!method) {
        return nullptr;
    }
    PyObject* function = PyMethod_GET_FUNCTION(method.get());
    if (Py_TYPE(function) != runtime_state().module_function_type) {
        return method.release();
    }
    return bind_method(function, PyMethod_GET_SELF(method.get()));
}

// The hash of the function combined with the identity of the object.
Py_hash_t hash(PyObject* self) noexcept {
    const Py_hash_t function = PyObject_Hash(as_method(self)->im_func);
    if (function == -1) {
        return -1;
    }
    const Py_hash_t hash = PyBaseObject_Type.tp_hash(as_method(self)->im_self) ^ function;
    return hash == -1 ? -2 : hash;
}

// getattr(self, name), as a bound method pickles.
PyObject* reduce(PyObject* self, PyObject*) noexcept {
    PyObject* function = as_method(self)->im_func;
    Ref name = get_attr(function, name_name);
    PyObject* key = name ? getattr_name.get() : nullptr;
    PyObject* found = nullptr;
    if (key == nullptr || PyDict_GetItemRef(reinterpret_cast<Function*>(function)->builtins, key, &found) < 0) {
        return nullptr;
    }
    Ref getattr = Ref::steal(found);
    if (!getattr) {
        PyErr_SetObject(PyExc_AttributeError, key);  // as the method type's own
        return nullptr;
    }
    return Py_BuildValue("O(OO)", getattr.get(), as_method(self)->im_self, name.get());
}

// The function's, as for a method (the type's own __doc__, None, would
// hide the method type's).
PyObject* get_doc(PyObject* self, void*) noexcept {
    return get_attr(as_method(self)->im_func, doc_name).release();
}

PyGetSetDef getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

StaticType storage;

}  // namespace

// "<module>.native_bound_method", a subtype of the method type, which gives
// the rest: attribute access through to the function, __func__, __self__, repr.
PyTypeObject* make_bound_method_type(PyObject* module_name) noexcept {
    PyTypeObject* type = storage.make(module_name, "native_bound_method");
    if (type == nullptr) {
        return nullptr;
    }
    type->tp_basicsize = sizeof(PyMethodObject);
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                     Py_TPFLAGS_IMMUTABLETYPE;
    type->tp_base = &PyMethod_Type;
    type->tp_vectorcall_offset = offsetof(PyMethodObject, vectorcall);
    type->tp_call = PyVectorcall_Call;
    type->tp_dealloc = dealloc;
    type->tp_traverse = traverse;
    type->tp_new = new_method;
    type->tp_richcompare = richcompare;
    type->tp_hash = hash;
    type->tp_methods = methods;
    type->tp_getset = getset;
    return PyType_Ready(type) == 0 ? type : nullptr;
}

PyObject* bind_method(PyObject* function, PyObject* instance) noexcept {
    PyMethodObject* method = PyObject_GC_New(PyMethodObject, bound_method_type());
    if (method == nullptr) {
        return nullptr;
    }
    method->im_func = Py_NewRef(function);
    method->im_self = Py_NewRef(instance);
    method->im_weakreflist = nullptr;
    method->vectorcall = call_bound;
    PyObject_GC_Track(method);
    return reinterpret_cast<PyObject*>(method);
}

}  // namespace zelkor
