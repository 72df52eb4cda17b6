"""What the atheris targets share: the runner, and the rule that a refused call changes nothing."""
import pickle
import sys

import atheris


class Refused(Exception):
    """An exception a target's own test objects raise (from __float__, items(), ...)."""


def state(obj):
    return pickle.dumps(obj)


def call_checked(obj, allowed, method, *args, **kwargs):
    """Calls obj.method(*args, **kwargs). An exception must be one of `allowed` and leave obj unchanged;
    it is returned, else None."""
    before = state(obj)
    try:
        getattr(obj, method)(*args, **kwargs)
    except allowed as error:
        after = state(obj)
        assert after == before, f"{type(obj).__name__}.{method} refused ({error!r}) but changed the object"
        return error
    return None


def run(test_one_input):
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
