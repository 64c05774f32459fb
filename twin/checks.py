"""What the native runtime checks of a function's arguments before its body
runs, and of its result afterwards, as its declaration asks; the messages
name types as the C API's "%.200s" of a type's tp_name does."""

import sys


def _type_name(cls):
    # A type written in C (but a built-in) is named with its module, as in
    # "datetime.date"; a class made by Python code by its name alone. The
    # name is cut at 200 bytes of UTF-8; a character the cut splits is
    # replaced (3.12, 3.13) or left out (from 3.14).
    written_in_c = not cls.__flags__ & (1 << 9)  # Py_TPFLAGS_HEAPTYPE
    name = f"{cls.__module__}.{cls.__name__}" if written_in_c and cls.__module__ != "builtins" else cls.__name__
    return name.encode()[:200].decode(errors="replace" if sys.version_info < (3, 14) else "ignore")


def _exact_str(name, value):
    if type(value) is not str:
        error = TypeError(f"Argument '{name}' has incorrect type (expected str, got {_type_name(type(value))})")
        if isinstance(value, str):
            error.add_note("Subclasses of str are refused here: pass a plain str, for example str(value).")
        raise error


def _str_or_none(result):
    if result is not None and type(result) is not str:
        raise TypeError(f"Expected str, got {_type_name(type(result))}")
    return result
