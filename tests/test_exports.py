"""The built module exports its init function and nothing else.

The dynamic symbol table is read straight from the ELF file, so the check
needs no binutils; where `nm` is installed, it must agree with the reader.
"""
import os
import shutil
import struct
import subprocess

import pytest

import zelmo_micro as z

SHT_DYNSYM = 11
STB_LOCAL = 0
SHN_UNDEF = 0


def read_dynamic_symbols(path):
    """Names of the symbols that the ELF file at `path` defines and exports."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF":
        raise ValueError(f"{path} is not an ELF file")
    is64 = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    if is64:
        shoff, = struct.unpack_from(end + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(end + "HH", data, 0x3A)
        section = struct.Struct(end + "IIQQQQIIQQ")   # name type flags addr offset size link info align entsize
        symbol = struct.Struct(end + "IBBHQQ")        # name info other shndx value size
    else:
        shoff, = struct.unpack_from(end + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(end + "HH", data, 0x2E)
        section = struct.Struct(end + "IIIIIIIIII")
        symbol = struct.Struct(end + "IIIBBH")        # name value size info other shndx
    sections = [section.unpack_from(data, shoff + i * shentsize) for i in range(shnum)]
    names = set()
    for sh in sections:
        if sh[1] != SHT_DYNSYM:
            continue
        offset, size, link, entsize = sh[4], sh[5], sh[6], sh[9]
        strtab_offset = sections[link][4]
        for pos in range(offset + entsize, offset + size, entsize):   # entry 0 is the null symbol
            fields = symbol.unpack_from(data, pos)
            name_at, info, shndx = (fields[0], fields[1], fields[3]) if is64 else (fields[0], fields[3], fields[5])
            if shndx == SHN_UNDEF or info >> 4 == STB_LOCAL:
                continue
            stop = data.index(b"\0", strtab_offset + name_at)
            names.add(data[strtab_offset + name_at:stop].decode())
    return names


def module_path():
    with open(z.__file__, "rb") as f:
        if f.read(4) != b"\x7fELF":
            pytest.skip("the module is not an ELF shared object on this platform")
    return z.__file__


def test_module_exports_only_its_init_function():
    assert read_dynamic_symbols(module_path()) == {"PyInit_zelmo_micro"}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("path", ["module", "libc"])
def test_reader_agrees_with_nm(path):
    """The reader's view of a dynamic symbol table matches nm's, on the
    module and on an ELF file with many exports, the C library."""
    if path == "module":
        target = module_path()
    else:
        out = subprocess.run(["ldd", "/bin/sh"], capture_output=True, text=True) if shutil.which("ldd") else None
        libc = [line.split("=>")[1].split()[0] for line in (out.stdout.splitlines() if out else [])
                if "libc.so" in line and "=>" in line]
        if not libc:
            pytest.skip("no shared C library found through ldd")
        target = libc[0]
    nm = subprocess.run(["nm", "-D", "--defined-only", target], capture_output=True, text=True, check=True)
    listed = {line.split()[-1].split("@")[0] for line in nm.stdout.splitlines() if line.strip()}
    listed.discard("")
    found = read_dynamic_symbols(target)
    # nm also lists the version nodes a library defines (GLIBC_2.2.5, ...) as
    # absolute symbols; the reader reports those too, under the same names.
    assert found == listed
    assert len(found) >= 1


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf is not installed")
@pytest.mark.skipif(bool(os.environ.get("ZELMO_SANITIZED")),
                    reason="sanitized builds link the shared C++ runtime on purpose")
def test_module_needs_no_shared_cxx_library():
    """libstdc++ is linked in; only the C library, libm, the loader and the
    system's unwinder (libgcc_s, shared so that glibc's thread-exit unwinding
    can pass through the module's frames) are needed at run time."""
    out = subprocess.run(["readelf", "-d", module_path()], capture_output=True, text=True,
                         check=True).stdout
    needed = {line.split("[", 1)[1].split("]", 1)[0] for line in out.splitlines() if "(NEEDED)" in line}
    assert needed <= {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2"}, needed
    assert "libc.so.6" in needed
