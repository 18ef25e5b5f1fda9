"""Installs the built distributions into fresh virtual environments and runs
the pytest suite against what was installed.

    dist_check.py wheel WHEEL --versions 3.10 3.11 ...
        the wheel, with its test extra, once for every CPython listed that is
        on this machine (pyenv's versions, then PATH); the suite runs from
        this tree, the module from the environment
    dist_check.py sdist SDIST --python python3
        the sdist, built by pip in a fresh environment and tested from its own
        unpacked tree, so it must carry the tests and all they need

Environments and logs go under build/dist-check/. A CPython that is not on
this machine is reported as skipped, by name, and does not fail the run; a
failing install or suite does.
"""
from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "dist-check"

# Prints where the module was imported from and whether LICENSE is among the
# files the distribution installed.
PROBE = (
    "import importlib.metadata as m, zelmo_micro; "
    "print(zelmo_micro.__file__); "
    "print(any(f.name == 'LICENSE' for f in m.files('zelmo_micro') or ()))"
)

IDENTIFY = (
    "import sys, sysconfig; "
    "print(sys.implementation.name, '%d.%d' % sys.version_info[:2], "
    "bool(sysconfig.get_config_var('Py_GIL_DISABLED')), sys.version.split()[0])"
)


def clean_env() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}


def identify(exe: str, version: str | None) -> str | None:
    """The full version of `exe` if it is a CPython (with the GIL, which the
    stable ABI needs) of the given minor version, else None."""
    try:
        out = subprocess.run([exe, "-c", IDENTIFY], capture_output=True, text=True, timeout=60, env=clean_env())
    except (OSError, subprocess.TimeoutExpired):
        return None
    fields = out.stdout.split()
    if out.returncode != 0 or len(fields) != 4:
        return None
    name, minor, free_threaded, full = fields
    if name != "cpython" or free_threaded == "True" or (version is not None and minor != version):
        return None
    return full


def find_interpreter(version: str) -> tuple[str, str] | None:
    """The newest CPython `version` under pyenv, else the one on PATH."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))

    def patch_level(exe: Path) -> tuple[int, ...]:
        return tuple(int(n) for n in re.findall(r"\d+", exe.parents[1].name))

    candidates = [str(p) for p in sorted(root.glob(f"versions/{version}.*/bin/python{version}"),
                                         key=patch_level, reverse=True)]
    on_path = shutil.which(f"python{version}")
    if on_path:
        candidates.append(on_path)
    for exe in candidates:
        full = identify(exe, version)
        if full:
            return exe, full
    return None


def step(args: list[str | Path], log: Path, cwd: Path = ROOT) -> bool:
    """Runs one step with its output appended to `log`; shows the log if it fails."""
    with open(log, "a") as out:
        out.write("$ " + " ".join(map(str, args)) + "\n")
        out.flush()
        ok = subprocess.run(args, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, env=clean_env()).returncode == 0
    if not ok:
        sys.stdout.write(log.read_text())
    return ok


def make_env(base_python: str, name: str, requirement: str) -> tuple[Path, Path] | None:
    """A fresh venv under build/dist-check/`name` with `requirement` installed;
    returns its python and its log, or None if the install failed."""
    env = WORK / name
    if env.exists():
        shutil.rmtree(env)
    WORK.mkdir(parents=True, exist_ok=True)
    log = WORK / f"{name}.log"
    log.write_text("")
    python = env / "bin" / "python"
    ok = (step([base_python, "-m", "venv", env], log)
          and step([python, "-m", "pip", "install", "-q", "--upgrade", "pip"], log)
          and step([python, "-m", "pip", "install", "-q", requirement], log))
    return (python, log) if ok else None


def run_suite(python: Path, tree: Path, log: Path) -> str | None:
    """Runs the pytest suite of `tree` on `python`; returns what went wrong, or None."""
    env_dir = python.parents[1]
    probe = subprocess.run([python, "-c", PROBE], cwd=tree, capture_output=True, text=True, env=clean_env())
    lines = probe.stdout.split()
    if probe.returncode != 0 or len(lines) != 2:
        return "the module does not import: " + probe.stderr.strip()
    if not Path(lines[0]).resolve().is_relative_to(env_dir.resolve()):
        return f"the module was imported from {lines[0]}, not from the environment"
    if lines[1] != "True":
        return "LICENSE is not among the installed files"
    print(f"    module: {lines[0]}", flush=True)
    code = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests"],
                          cwd=tree, env=clean_env()).returncode
    return None if code == 0 else f"pytest exited with {code} (log of the install: {log})"


def check_wheel(wheel: Path, versions: list[str]) -> int:
    results: list[tuple[str, str]] = []
    for version in versions:
        found = find_interpreter(version)
        if found is None:
            print(f"==> CPython {version}: skipped, no interpreter found (pyenv versions, PATH)", flush=True)
            results.append((f"CPython {version}", "skipped: not found on this machine"))
            continue
        exe, full = found
        print(f"==> CPython {full} ({exe}): installing the wheel and its test extra into a fresh venv", flush=True)
        made = make_env(exe, f"wheel-py{version}", f"{wheel}[test]")
        problem = "the install failed" if made is None else run_suite(made[0], ROOT, made[1])
        results.append((f"CPython {full}", "passed" if problem is None else "FAILED: " + problem))
    print("wheel matrix:")
    for name, outcome in results:
        print(f"  {name:<16} {outcome}")
    return 1 if any(outcome.startswith("FAILED") for _, outcome in results) else 0


def check_sdist(sdist: Path, base_python: str) -> int:
    full = identify(base_python, None)
    if full is None:
        print(f"{base_python} is not a CPython that can run the check")
        return 1
    print(f"==> sdist: building and installing it with CPython {full} in a fresh venv", flush=True)
    made = make_env(base_python, "sdist", f"{sdist}[test]")
    if made is None:
        print("sdist: FAILED: the build or the install failed")
        return 1
    tree = WORK / "sdist-tree"
    if tree.exists():
        shutil.rmtree(tree)
    with tarfile.open(sdist) as archive:
        if hasattr(tarfile, "data_filter"):
            archive.extraction_filter = tarfile.data_filter
        archive.extractall(tree)
    (unpacked,) = tree.iterdir()
    print(f"==> sdist: running its own tests from {unpacked}", flush=True)
    problem = run_suite(made[0], unpacked, made[1])
    print("sdist: " + ("passed" if problem is None else "FAILED: " + problem))
    return 0 if problem is None else 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    wheel = sub.add_parser("wheel")
    wheel.add_argument("wheel", type=Path)
    wheel.add_argument("--versions", nargs="+", required=True)
    sdist = sub.add_parser("sdist")
    sdist.add_argument("sdist", type=Path)
    sdist.add_argument("--python", default=sys.executable)
    args = parser.parse_args()
    if args.command == "wheel":
        return check_wheel(args.wheel.resolve(), args.versions)
    return check_sdist(args.sdist.resolve(), args.python)


if __name__ == "__main__":
    sys.exit(main())
