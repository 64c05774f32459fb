// Binding of call arguments to parameters, with the interpreter's messages.
//
// Every parameter may be passed by position or by keyword, `self` included.
// Checks run in a fixed order: too many positional arguments; without
// keywords, too few; with keywords, the first required parameter that is
// still missing; last, any keyword left over, in the order given.
#include "runtime/internal.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace zelkor {
namespace {

// Builds a message in a fixed buffer: the count errors are the common
// binding errors, and formatting them with PyErr_Format costs more than all
// the rest of raising them.
class MessageBuffer {
public:
    MessageBuffer& text(const char* part, std::size_t limit = SIZE_MAX) noexcept {
        const std::size_t length = std::min({std::strlen(part), limit, room()});
        std::memcpy(end_, part, length);
        end_ += length;
        return *this;
    }
    MessageBuffer& number(Py_ssize_t value) noexcept {
        end_ = std::to_chars(end_, buffer_ + sizeof buffer_, value).ptr;
        return *this;
    }
    void raise(PyObject* type) const noexcept {
        Ref message = Ref::steal(PyUnicode_DecodeUTF8(buffer_, end_ - buffer_, "replace"));
        if (message) {
            PyErr_SetObject(type, message.get());
        }
    }

private:
    // What text may still take; the rest is kept for numbers.
    std::size_t room() const noexcept {
        const std::ptrdiff_t left = buffer_ + sizeof buffer_ - end_ - kNumberRoom;
        return left > 0 ? static_cast<std::size_t>(left) : 0;
    }
    static constexpr std::ptrdiff_t kNumberRoom = 64;
    char buffer_[512];
    char* end_ = buffer_;
};

// The parameters a call must give, as for a Python function: the last
// len(defaults) parameters have a default (the leading values of a tuple
// longer than the parameters are never used).
Py_ssize_t required_given(Py_ssize_t total, PyObject* defaults) noexcept {
    return defaults == nullptr ? total : std::max<Py_ssize_t>(total - PyTuple_GET_SIZE(defaults), 0);
}

// The default of parameter `index`, one of those required_given leaves out.
PyObject* default_of(PyObject* defaults, Py_ssize_t total, Py_ssize_t index) noexcept {
    return PyTuple_GET_ITEM(defaults, index - total + PyTuple_GET_SIZE(defaults));
}

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
void raise_count_error(const Function& function, Py_ssize_t required, Py_ssize_t given) noexcept {
    const auto total = static_cast<Py_ssize_t>(function.decl->parameters.size());
    const char* bound;
    Py_ssize_t expected;
    if (required == total) {
        bound = "exactly";
        expected = total;
    } else if (given < required) {
        bound = "at least";
        expected = required;
    } else {
        bound = "at most";
        expected = total;
    }
    MessageBuffer message;
    message.text(function.decl->name, 200).text("() takes ").text(bound).text(" ").number(expected);
    message.text(expected == 1 ? " positional argument (" : " positional arguments (");
    message.number(given).text(" given)").raise(PyExc_TypeError);
}

bool same_name(PyObject* keyword, PyObject* name) noexcept {
    return keyword == name ||
           (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, name) == 0);
}

// Index of the keyword spelling `name`, or -1. Identity first: keyword names
// are nearly always the interned strings of the caller's code.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (same_name(PyTuple_GET_ITEM(kwnames, i), name)) {
            return i;
        }
    }
    return -1;
}

// Reports a keyword that no parameter used. A keyword naming a parameter was
// not used because that parameter already had a value.
void raise_keyword_error(const Function& function, PyObject* keyword) noexcept {
    const char* name = function.decl->name;
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
        return;
    }
    for (const Parameter& parameter : function.decl->parameters) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameter.name) == 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'", name, keyword);
            return;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword);
}

bool is_used(const Py_ssize_t* used_keywords, Py_ssize_t count, Py_ssize_t keyword) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (used_keywords[i] == keyword) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool bind_arguments(const Function& function, PyObject* defaults, PyObject* const* args,
                    std::size_t nargsf, PyObject* kwnames, PyObject** bound) noexcept {
    const auto total = static_cast<Py_ssize_t>(function.decl->parameters.size());
    const Py_ssize_t required = required_given(total, defaults);
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > total) {
        raise_count_error(function, required, positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[i] = args[i];
    }

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords == 0) {
        if (positional < required) {
            raise_count_error(function, required, positional);
            return false;
        }
        for (Py_ssize_t i = positional; i < total; ++i) {
            bound[i] = default_of(defaults, total, i);
        }
        return true;
    }

    PyObject* const* values = args + positional;
    Py_ssize_t used_keywords[kMaxParameters];
    Py_ssize_t used_count = 0;
    for (Py_ssize_t i = positional; i < total; ++i) {
        PyObject* name = PyTuple_GET_ITEM(function.parameter_names, i);
        const Py_ssize_t keyword = find_keyword(kwnames, name);
        if (keyword >= 0) {
            bound[i] = values[keyword];
            used_keywords[used_count++] = keyword;
        } else if (i < required) {
            raise_count_error(function, required, i);
            return false;
        } else {
            bound[i] = default_of(defaults, total, i);
        }
    }
    if (used_count < keywords) {
        for (Py_ssize_t keyword = 0; keyword < keywords; ++keyword) {
            if (!is_used(used_keywords, used_count, keyword)) {
                raise_keyword_error(function, PyTuple_GET_ITEM(kwnames, keyword));
                return false;
            }
        }
    }
    return true;
}

}  // namespace zelkor
