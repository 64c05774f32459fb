// Code objects of the native functions. They are never executed: one tells
// inspect and help() the parameters, the other names the traceback entry of
// a binding error.
#include "runtime/calls.hpp"
#include "runtime/internal.hpp"

namespace zelkor {
namespace {

Name replace_name{"replace"};
KeywordNames code_fields{"co_argcount", "co_nlocals", "co_varnames", "co_qualname"};

Ref new_empty_code(PyObject* filename, const char* name, int line) noexcept {
    const char* filename_text = PyUnicode_AsUTF8(filename);
    if (filename_text == nullptr) {
        return {};
    }
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_text, name, line)));
}

}  // namespace

Ref module_path(PyObject* module_name) noexcept {
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    Ref slash = dot ? Ref::steal(PyUnicode_FromString("/")) : Ref();
    if (!slash) {
        return {};
    }
    return Ref::steal(PyUnicode_Replace(module_name, dot.get(), slash.get(), -1));
}

// The parameters as a Python function's code object describes them.
Ref make_signature_code(const FunctionDecl& decl, PyObject* filename,
                        PyObject* parameter_names, PyObject* qualname) noexcept {
    Ref empty = new_empty_code(filename, decl.name, decl.line);
    if (!empty) {
        return {};
    }
    Ref count = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(parameter_names)));
    if (!count) {
        return {};
    }
    return call_method_kw(empty.get(), replace_name, code_fields, count.get(), count.get(),
                          parameter_names, qualname);
}

// Named like the function's Python home: the file "a/b/mod" and the dotted
// name "a.b.mod.Class.method".
Ref make_traceback_code(const FunctionDecl& decl, PyObject* filename, PyObject* module_name) noexcept {
    Ref dotted = Ref::steal(PyUnicode_FromFormat("%U.%s", module_name, decl.qualname));
    const char* dotted_text = dotted ? PyUnicode_AsUTF8(dotted.get()) : nullptr;
    if (dotted_text == nullptr) {
        return {};
    }
    return new_empty_code(filename, dotted_text, decl.line);
}

}  // namespace zelkor
