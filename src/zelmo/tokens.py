"""Token counting: the module's estimate, and fixed estimates for media parts."""

from __future__ import annotations

from collections.abc import Callable
from typing import Final

__all__ = ["IMAGE_TOKENS", "IMAGE_TOKENS_LOW", "MEDIA_TOKENS", "TokenCounter", "estimate_tokens"]

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
