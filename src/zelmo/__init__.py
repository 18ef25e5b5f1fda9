"""Trimming for the message formats agents use, on the zelmo_micro kernel.

Each format has its adapter module, which keeps tool exchanges atomic, the
live tail intact and the history within a token budget, and hands back the
caller's own message objects:

- `zelmo.openai_chat`: OpenAI Chat Completions dicts;
- `zelmo.openai_responses`: OpenAI Responses input items;
- `zelmo.anthropic`: Anthropic Messages;
- `zelmo.langchain`: LangChain messages, and a drop-in ``trim_messages``
  (needs the ``langchain`` extra);
- `zelmo.openai_agents`: an input filter and a session for the OpenAI Agents
  SDK (needs the ``openai-agents`` extra).

The format-neutral core is `zelmo.history`.

For an agent loop:

- `zelmo.window`: `ChatWindow`, a stateful window that saves to JSON;
- `zelmo.guard`: `guard_tool_output`, which withholds a repetitive flood;
- `zelmo.effort`: the effort tier mapped onto each provider's knob;
- `zelmo.cache`: `CachePolicy`, which decides when to rewrite a cached prefix.
"""

from __future__ import annotations

from zelmo._parts import PINNED_KEY
from zelmo.formats import Format
from zelmo.history import BudgetError, Records, TrimReport, Trimmed, trim_records
from zelmo.cache import CachePolicy
from zelmo.guard import guard_tool_output
from zelmo.window import ChatWindow, Request, RestoreError
from zelmo.tokens import IMAGE_TOKENS, IMAGE_TOKENS_LOW, MEDIA_TOKENS, TokenCounter, estimate_tokens

__all__ = [
    "IMAGE_TOKENS", "IMAGE_TOKENS_LOW", "MEDIA_TOKENS", "PINNED_KEY", "BudgetError", "CachePolicy",
    "ChatWindow", "Format", "Records", "Request", "RestoreError", "TokenCounter", "TrimReport",
    "Trimmed", "estimate_tokens", "guard_tool_output", "trim_records",
]
