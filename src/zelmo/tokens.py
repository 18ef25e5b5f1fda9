"""Token counting: the module's estimate, and fixed estimates for media parts."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from itertools import compress, repeat
from operator import is_not, not_
from typing import Final, cast

__all__ = ["IMAGE_TOKENS", "IMAGE_TOKENS_LOW", "MEDIA_TOKENS", "TokenCounter", "count_texts",
           "estimate_tokens"]

TokenCounter = Callable[[str], int]
"""A function from a text to its token count. Media parts are not texts: they
count by the fixed estimates below, whatever counter is in use."""

IMAGE_TOKENS: Final = 765
"""An image part at full or automatic detail: the cost of a 1024 x 1024 image
in 512-pixel tiles (85 + 4 x 170). Smaller images cost less, so this errs on
the side of the budget."""

IMAGE_TOKENS_LOW: Final = 85
"""An image part that asks for low detail (``"detail": "low"``)."""

MEDIA_TOKENS: Final = IMAGE_TOKENS
"""Any other non-text part (audio, file, document): counted as an image."""


def estimate_tokens(text: str) -> int:
    """The module's estimate of a text's tokens: UTF-8 bytes // 4 + 1."""
    # An ASCII str has as many UTF-8 bytes as characters: no encoding needed.
    if text.isascii():
        return (len(text) >> 2) + 1
    return (len(text.encode("utf-8", "surrogatepass")) >> 2) + 1


def count_texts(values: Sequence[object], counter: TokenCounter | None = None,
                ) -> tuple[list[int], list[int]]:
    """Tokens of each str in ``values`` (0 for any other value), and the
    positions of the values that are not str.

    With the default counter the whole list is counted in a few passes of the
    interpreter's built-ins, without a Python call per text.
    """
    try:
        # str.isascii refuses anything but a str: the common case needs no type pass.
        ascii_ = list(map(str.isascii, cast("Sequence[str]", values)))
        others: list[int] = []
        strs = cast("Sequence[str]", values)
    except TypeError:
        others = list(compress(range(len(values)), map(is_not, map(type, values), repeat(str))))
        copy = list(values)
        for i in others:
            copy[i] = ""
        strs = cast("list[str]", copy)
        ascii_ = list(map(str.isascii, strs))
    if counter is not None and counter is not estimate_tokens:
        tokens = list(map(counter, strs))
    else:
        lengths = list(map(len, strs))
        for i in compress(range(len(strs)), map(not_, ascii_)):
            lengths[i] = len(strs[i].encode("utf-8", "surrogatepass"))
        tokens = [(length >> 2) + 1 for length in lengths]
    for i in others:
        tokens[i] = 0
    return tokens, others
