"""Imported at start-up by every interpreter of tools/sanitized-tests (and only
there: the script puts this folder on PYTHONPATH).

It takes two kinds of memory out of LeakSanitizer's exit check that are never
ours to free:

- Interned strings. In this interpreter every interned string is immortal:
  the interpreter never frees it, not even at exit, whoever created it
  (attribute and keyword names, pathlib's path segments, module names...).
  Each one still in the interpreter's table of interned strings when the
  interpreter shuts down is marked as not leaked; a leaked reference to a
  string that is not interned is still reported.
- Everything a mypy process allocates (tests/test_stubs.py runs mypy.stubtest):
  that tool's own leaks are not ours. Its memory errors are still reported.
"""

import atexit
import ctypes
import os
import sys

_sanitizer = ctypes.CDLL(None)  # the preloaded sanitizer runtime


def _running_module(package):
    argv = sys.orig_argv
    return any(flag == "-m" and name.split(".")[0] == package for flag, name in zip(argv, argv[1:]))


def _interned_strings():
    # Where the interpreter keeps its table of interned strings (a dict):
    # the script computes the offset from this interpreter's own headers.
    offset = int(os.environ["ZELKOR_INTERNED_STRINGS_OFFSET"])
    ctypes.pythonapi.PyInterpreterState_Get.restype = ctypes.c_void_p
    interpreter = ctypes.pythonapi.PyInterpreterState_Get()
    address = ctypes.c_void_p.from_address(interpreter + offset).value
    table = ctypes.cast(address, ctypes.py_object).value
    if type(table) is not dict:
        raise RuntimeError(f"no table of interned strings at offset {offset}")
    return list(table)


def _exempt_interned_strings():
    immortal = 0xFFFFFFFF  # the reference count of an immortal object
    ignore = _sanitizer.__lsan_ignore_object
    ignore.argtypes = [ctypes.c_void_p]
    for string in _interned_strings():
        if sys.getrefcount(string) >= immortal:
            ignore(id(string))


if "ZELKOR_INTERNED_STRINGS_OFFSET" in os.environ:
    if _running_module("mypy"):
        _sanitizer.__lsan_disable()
    # Registered first, so it runs after every other exit handler.
    atexit.register(_exempt_interned_strings)
