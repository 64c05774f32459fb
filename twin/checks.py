"""What the native runtime checks of a function's arguments before its body
runs, and of its result afterwards, as its declaration asks."""


def _exact_str(name, value):
    if type(value) is not str:
        error = TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")
        if isinstance(value, str):
            error.add_note("Subclasses of str are refused here: pass a plain str, for example str(value).")
        raise error


def _str_or_none(result):
    if result is not None and type(result) is not str:
        raise TypeError(f"Expected str, got {type(result).__name__}")
    return result
