"""Errors answered as Telegram answers them, and the readers of request parameters that raise
them."""
import math


class ApiError(Exception):
    """An error answered to the client as Telegram answers it."""

    def __init__(self, status, description, parameters=None):
        super().__init__(description)
        self.status = status
        self.description = description
        self.parameters = parameters

    def payload(self):
        body = {"ok": False, "error_code": self.status, "description": self.description}
        if self.parameters:
            body["parameters"] = self.parameters
        return body


def int_param(params, name, default=None):
    value = params.get(name)
    if value is None or value == "":
        if default is None:
            raise ApiError(400, f"Bad Request: parameter {name} is required")
        return default
    if isinstance(value, bool) or isinstance(value, float) and not value.is_integer():
        raise ApiError(400, f"Bad Request: invalid parameter {name}")
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError):
        raise ApiError(400, f"Bad Request: invalid parameter {name}") from None


def float_param(params, name, default):
    value = params.get(name)
    if value is None or value == "":
        return default
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = math.nan
    if isinstance(value, bool) or not math.isfinite(number):
        raise ApiError(400, f"Bad Request: invalid parameter {name}")
    return number


def text_param(params, name):
    value = params.get(name)
    if value is None:
        raise ApiError(400, f"Bad Request: parameter {name} is required")
    if not isinstance(value, str):
        raise ApiError(400, f"Bad Request: parameter {name} must be a string")
    return value


def bool_param(params, name):
    return params.get(name) in (True, 1, "1", "true", "True")
