#include "runtime/class.hpp"

#include "runtime/calls.hpp"
#include "runtime/internal.hpp"

namespace zelkor {
namespace {

Name init_name{"__init__"};
CachedValue no_arguments{[] { return PyTuple_New(0); }};

// type.__call__(cls, *args, **kwargs), for the calls the direct path below
// leaves to it.
PyObject* call_through_type(PyObject* cls, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) noexcept {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    Ref tuple = Ref::steal(PyTuple_New(positional));
    if (!tuple) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    }
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[positional + i]) < 0) {
                return nullptr;
            }
        }
    }
    return PyType_Type.tp_call(cls, tuple.get(), keywords.get());
}

// Calls of the class itself. While the class keeps object's __new__ and a
// native __init__, the instance is made and initialised directly, without
// the argument tuple and the look-ups of type.__call__; the result is the
// same. Subclasses do not use this path: they have their own type slot.
PyObject* construct(PyObject* cls, PyObject* const* args, std::size_t nargsf,
                    PyObject* kwnames) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* key = init_name.get();
    PyObject* empty = key ? no_arguments.get() : nullptr;
    if (empty == nullptr) {
        return nullptr;
    }
    // Held, not borrowed: making the instance may start a garbage
    // collection, whose finalizers may replace __init__.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(type->tp_dict, key, &found) < 0) {
        return nullptr;
    }
    Ref init = Ref::steal(found);
    const bool direct = init && is_function(init.get()) &&
                        type->tp_new == PyBaseObject_Type.tp_new &&
                        !PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT);
    if (!direct) {
        return call_through_type(cls, args, nargsf, kwnames);
    }
    Ref self = Ref::steal(type->tp_new(type, empty, nullptr));
    if (!self) {
        return nullptr;
    }
    Ref result = Ref::steal(call_with_self(PyObject_Vectorcall, init.get(), self.get(), args, nargsf, kwnames));
    if (!result) {
        return nullptr;
    }
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

bool set_item(PyObject* dict, const char* key, Ref value) noexcept {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

Ref make_class(PyObject* module, const char* name, const char* doc,
               std::initializer_list<const FunctionDecl*> methods) noexcept {
    Ref class_name = Ref::steal(PyUnicode_FromString(name));
    Ref body = class_name ? Ref::steal(PyDict_New()) : Ref();
    if (!body || !set_item(body.get(), "__module__", Ref::steal(PyModule_GetNameObject(module))) ||
        !set_item(body.get(), "__qualname__", Ref::borrow(class_name.get())) ||
        !set_item(body.get(), "__doc__", Ref::steal(PyUnicode_FromString(doc)))) {
        return {};
    }
    for (const FunctionDecl* method : methods) {
        if (!set_item(body.get(), method->name, make_function(module, *method, Placement::class_body))) {
            return {};
        }
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) {
        return {};
    }
    auto* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
    Ref cls = call(metaclass, class_name.get(), bases.get(), body.get());
    if (cls) {
        reinterpret_cast<PyTypeObject*>(cls.get())->tp_vectorcall = construct;
    }
    return cls;
}

}  // namespace zelkor
