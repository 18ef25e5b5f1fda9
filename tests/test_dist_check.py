"""The distribution checker's choice of interpreters (tools/dist_check.py)."""
import importlib.util
import platform
import sys
import sysconfig
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[1] / "tools" / "dist_check.py"
spec = importlib.util.spec_from_file_location("dist_check", TOOL)
dist_check = importlib.util.module_from_spec(spec)
spec.loader.exec_module(dist_check)

THIS = "%d.%d" % sys.version_info[:2]
if sysconfig.get_config_var("Py_GIL_DISABLED") or platform.python_implementation() != "CPython":
    pytest.skip("the checker accepts only CPython with the GIL", allow_module_level=True)


def fake_pyenv(root, versions):
    """A pyenv-like tree whose versions/NAME/bin/pythonX.Y all run this interpreter."""
    for name, minor in versions:
        bin_dir = root / "versions" / name / "bin"
        bin_dir.mkdir(parents=True)
        (bin_dir / f"python{minor}").symlink_to(sys.executable)
    return root


@pytest.mark.parametrize("exe, version, expected", [
    (sys.executable, THIS, platform.python_version()),
    (sys.executable, None, platform.python_version()),
    (sys.executable, "2.7", None),
    ("/nonexistent/python3", None, None),
])
def test_identify(exe, version, expected):
    assert dist_check.identify(exe, version) == expected


def test_newest_patch_level_under_pyenv_wins(tmp_path, monkeypatch):
    root = fake_pyenv(tmp_path, [(f"{THIS}.2", THIS), (f"{THIS}.10", THIS), (f"{THIS}.9", THIS)])
    monkeypatch.setenv("PYENV_ROOT", str(root))
    exe, full = dist_check.find_interpreter(THIS)
    assert exe == str(root / "versions" / f"{THIS}.10" / "bin" / f"python{THIS}")
    assert full == platform.python_version()


def test_interpreter_that_reports_another_version_is_not_taken(tmp_path, monkeypatch):
    # A pythonX.Y that is really another version (a stale link, a shim) is
    # not taken for X.Y.
    root = fake_pyenv(tmp_path, [("3.98.1", "3.98")])
    monkeypatch.setenv("PYENV_ROOT", str(root))
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    assert dist_check.find_interpreter("3.98") is None


def test_missing_interpreter_is_skipped_by_name(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("PYENV_ROOT", str(tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    assert dist_check.check_wheel(tmp_path / "never-opened.whl", ["3.98", "3.99"]) == 0
    summary = [" ".join(line.split()) for line in capsys.readouterr().out.splitlines()]
    assert "CPython 3.98 skipped: not found on this machine" in summary
    assert "CPython 3.99 skipped: not found on this machine" in summary
