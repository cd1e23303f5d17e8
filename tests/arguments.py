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


def binding_disagreement(function, *bound):
    """Where the text signature that inspect (and so the stub check) reads for a function of
    the modules disagrees with how the function binds its arguments; None when they agree.

    `bound` is the object for a method's first argument. The function is called with every
    parameter of its signature by keyword plus one unknown keyword, which the binding refuses
    before anything runs, and with one positional argument too many."""
    import inspect

    params = [p for p in inspect.signature(function).parameters.values()
              if p.kind is p.POSITIONAL_OR_KEYWORD]
    probe = "not_a_parameter"
    kwargs = {p.name: None for p in params}
    kwargs[probe] = None
    name = function.__name__
    expected = [f"{name}() got an unexpected keyword argument '{probe}'"]
    required = sum(p.default is p.empty for p in params)
    expected.append(count_message(name, len(params), required, len(params) + 1))
    got = []
    for call in (lambda: function(*bound, **kwargs),
                 lambda: function(*bound, *[None] * (len(params) + 1))):
        try:
            call()
        except TypeError as exc:
            got.append(str(exc))
        else:
            got.append("no error")
    return None if got == expected else (expected, got)
