"""Small helpers of the host application."""
import functools
import sys
import traceback


def safe_call(func):
    """Run a gateway call; an error is reported on standard error and the call yields None."""

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        try:
            return func(*args, **kwargs)
        except Exception:  # the host keeps running whatever one call does
            print(f"safe_call: {func.__qualname__} failed", file=sys.stderr)
            traceback.print_exc()
            return None

    return wrapper
