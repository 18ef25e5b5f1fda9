"""A seeded corpus of recorded agent conversations, for tests, examples and benches.

Each conversation is an OpenAI Chat Completions history: a system prompt, then
turns in English or Portuguese where the user asks, the assistant calls tools
(one or two calls a step, several steps a turn), the tools answer and the
assistant replies. Some tool outputs are floods: the same log lines repeated
hundreds of times. Nothing is downloaded; the same seed gives the same corpus.
"""

from __future__ import annotations

import json
import random
from collections.abc import Iterator
from pathlib import Path
from typing import Any

__all__ = ["conversation", "conversations", "write_jsonl"]

_SYSTEM = {
    "en": ["You are a careful coding assistant. Use the tools to inspect the repository "
           "before you answer, and cite the files you read.",
           "You help the support team. Answer briefly, in the customer's language."],
    "pt": ["Você é um assistente de programação cuidadoso. Use as ferramentas para "
           "inspecionar o repositório antes de responder e cite os arquivos lidos.",
           "Você ajuda a equipe de suporte. Responda de forma breve, no idioma do cliente."],
}
_ASK = {
    "en": ["Why does the build fail on the release branch?",
           "Prove that the scheduler never starves a low-priority job, step by step.",
           "thanks!", "Rename the config loader and update every caller.",
           "What changed in the payment service since Monday? Summarise the risky parts.",
           "Write a migration that splits the address column, without downtime."],
    "pt": ["Por que o build falha no branch de release?",
           "Demonstre passo a passo que o escalonador nunca deixa um job de baixa "
           "prioridade sem executar.",
           "obrigado!", "Renomeie o carregador de configuração e atualize todas as chamadas.",
           "O que mudou no serviço de pagamentos desde segunda? Resuma as partes arriscadas.",
           "Escreva uma migração que divida a coluna de endereço, sem indisponibilidade."],
}
_REPLY = {
    "en": ["The failure comes from a stale lock file; regenerating it fixes the build.",
           "Done: three callers updated, tests pass.", "Here is the plan, in four steps."],
    "pt": ["A falha vem de um arquivo de lock desatualizado; regenerá-lo corrige o build.",
           "Feito: três chamadas atualizadas, os testes passam.", "Segue o plano, em quatro passos."],
}
_TOOLS = ["read_file", "grep", "run_tests", "git_log", "search_docs"]
_WORDS = ("alpha beta gamma delta config loader scheduler queue payment service module "
          "error warning retry timeout cache index branch commit merge test build").split()


def _tool_output(rng: random.Random, flood: bool) -> str:
    if flood:
        line = f"ERROR worker-{rng.randrange(8)} connection refused, retrying in 5s"
        return "\n".join([line] * rng.randrange(200, 600))
    return " ".join(rng.choice(_WORDS) for _ in range(rng.randrange(20, 120)))


def conversation(rng: random.Random, index: int, messages: int | None = None,
                 flood_rate: float = 0.05) -> dict[str, Any]:
    """One conversation record: ``{"id", "lang", "messages"}``.

    With ``messages`` the history has exactly that many messages (at least 2),
    else 4 to 60. Every tool call is answered, by ``tool_call_id``.
    """
    lang = "pt" if rng.random() < 0.4 else "en"
    target = messages if messages is not None else rng.randrange(4, 61)
    history: list[dict[str, Any]] = [{"role": "system", "content": rng.choice(_SYSTEM[lang])}]
    calls = 0
    while len(history) < target:
        history.append({"role": "user", "content": rng.choice(_ASK[lang])})
        for _ in range(rng.randrange(0, 4)):
            width = rng.choice((1, 1, 2))
            if len(history) + 1 + width + 1 > target:
                break
            ids = [f"call_{index}_{calls + j}" for j in range(width)]
            calls += width
            history.append({"role": "assistant", "content": None, "tool_calls": [
                {"id": call_id, "type": "function",
                 "function": {"name": rng.choice(_TOOLS),
                              "arguments": json.dumps({"query": rng.choice(_WORDS)})}}
                for call_id in ids]})
            for call_id in ids:
                history.append({"role": "tool", "tool_call_id": call_id,
                                "content": _tool_output(rng, rng.random() < flood_rate)})
        if len(history) < target:
            history.append({"role": "assistant", "content": rng.choice(_REPLY[lang])})
    return {"id": f"conv-{index:07d}", "lang": lang, "messages": history}


def conversations(count: int, *, messages: int | None = None, seed: int = 0,
                  flood_rate: float = 0.05) -> Iterator[dict[str, Any]]:
    """``count`` conversation records, the same ones for the same seed."""
    rng = random.Random(seed)
    for index in range(count):
        yield conversation(rng, index, messages, flood_rate)


def write_jsonl(path: str | Path, count: int, *, messages: int | None = None, seed: int = 0,
                flood_rate: float = 0.05) -> Path:
    """Writes ``count`` conversations as JSON lines to ``path``; returns the path."""
    path = Path(path)
    with path.open("w", encoding="utf-8") as out:
        for record in conversations(count, messages=messages, seed=seed, flood_rate=flood_rate):
            out.write(json.dumps(record, ensure_ascii=False))
            out.write("\n")
    return path
