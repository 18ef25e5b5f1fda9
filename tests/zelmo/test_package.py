"""The package imports without its extras, and names what an adapter needs."""
import inspect
import subprocess
import sys
import typing

import zelmo


def test_import_works_without_the_extras_and_adapters_say_what_to_install():
    code = """
import sys
sys.modules["langchain_core"] = None   # as if not installed
sys.modules["agents"] = None
import zelmo, zelmo.openai_chat, zelmo.openai_responses, zelmo.anthropic, zelmo.history
import zelmo.window, zelmo.guard, zelmo.effort, zelmo.cache
for name, extra in (("zelmo.langchain", "[langchain]"), ("zelmo.openai_agents", "[openai-agents]")):
    try:
        __import__(name)
    except ImportError as e:
        assert extra in str(e), str(e)
    else:
        raise AssertionError(name + " imported without its extra")
print("ok")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "ok"


def test_public_names_exist_and_carry_docstrings():
    import zelmo.anthropic
    import zelmo.history
    import zelmo.openai_chat
    import zelmo.openai_responses
    import zelmo.cache
    import zelmo.effort
    import zelmo.guard
    import zelmo.window
    for module in (zelmo, zelmo.history, zelmo.openai_chat, zelmo.openai_responses, zelmo.anthropic,
                   zelmo.window, zelmo.guard, zelmo.effort, zelmo.cache):
        assert module.__doc__
        for name in module.__all__:
            value = getattr(module, name)
            # A type alias such as TokenCounter is documented where it is made.
            if typing.get_origin(value) is None and (inspect.isclass(value)
                                                     or inspect.isroutine(value)):
                assert value.__doc__, f"{module.__name__}.{name} has no docstring"
