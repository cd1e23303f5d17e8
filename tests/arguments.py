"""The argument-count messages every operation of the modules gives, as Cython words them."""


def count_message(function, count, required, given):
    """The TypeError text for `function` (taking `count` parameters, the first `required` of
    them mandatory) called with `given` arguments in the places that count."""
    if required == count:
        bound, n = "exactly", count
    elif given < required:
        bound, n = "at least", required
    else:
        bound, n = "at most", count
    plural = "" if n == 1 else "s"
    return f"{function}() takes {bound} {n} positional argument{plural} ({given} given)"
