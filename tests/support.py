"""Helpers shared by the tests."""
import datetime

import pytest

EPOCH = datetime.date(1899, 12, 30).toordinal()  # the ordinal of serial 0
MIN_SERIAL, MAX_SERIAL = -363, 23242572  # 1899-01-01 and 65535-12-31


def raises(exc_type, message, call):
    """Asserts the exact exception type (no subclass) and its only argument."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type, repr(info.value)
    assert info.value.args == (message,)
    return info.value


def panic_message(call):
    """Asserts an internal failure and returns its message."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    return str(info.value)


class Index:
    """An object that converts to an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
