import sys

import pytest

HAS_NOTES = sys.version_info >= (3, 11)


def assert_raises_with_note(exc_type, message, note, fn, *args, **kwargs):
    """Calls fn and checks the exception type, its exact message and its argument note."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    if HAS_NOTES:
        assert getattr(info.value, "__notes__", None) == ([note] if note else None)
    return info.value
