#!/usr/bin/env python3
"""Builds the velmora_cli wheel from an installed tree (`cmake --install <build> --prefix DIR`).

The wheel holds no Python code. pip installs its data into the environment's prefix:

    velmora_cli-<v>.data/scripts/velmora       -> <env>/bin/velmora
    velmora_cli-<v>.data/data/lib/<soname>      -> <env>/lib/<soname>
    velmora_cli-<v>.data/data/share/...         -> <env>/share/... (completions, man page,
                                                   language definitions)

so the program finds the session library in ../lib beside itself and the libraries find each
other through their RUNPATH `$ORIGIN/../lib`, as in the installed tree. Each shared object of
<prefix>/lib is packed once, under the name the loader asks for (its SONAME): a wheel cannot
hold the symbolic links of the tree.

The binaries may take only the C library from the system (libc, libm, the dynamic loader): a
tree whose binaries need any other library, or a symbol version that is not glibc's, is refused.
The platform tag is manylinux_<major>_<minor>_<arch> (PEP 600) with the newest glibc version any
of the binaries needs, read from their version needs, so pip installs the wheel exactly where
it can run.

The version comes from the build (<prefix>/share/velmora/release.json) and is checked against
what `bin/velmora --version` prints, so a wheel never claims a version its program does not
carry. Standard library only.

    python3 packaging/build_wheel.py --prefix build/stage --out dist
"""

from __future__ import annotations

import argparse
import base64
import csv
import hashlib
import io
import json
import mmap
import os
import re
import stat
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

DISTRIBUTION = "velmora_cli"
PROGRAM = "velmora"
SUMMARY = "Velmora command-line client"
LIBRARY_RUNPATH = "$ORIGIN/../lib"
MANIFEST = Path("share/velmora/release.json")
# Loaded by the program at run time (dlopen), so no NEEDED entry names it.
SESSION_LIBRARY = "libvelmora_session.so"
# Loaded by the runtime library with the first TLS connection (dlopen): OpenSSL.
RUNTIME_LIBRARY = "libvelmora_runtime.so"
TLS_LIBRARY = "libvelmora_tls.so"
# Installed files that travel with the program (completions and man page).
SHARED_FILES = (
    Path("share/bash-completion/completions/velmora"),
    Path("share/zsh/site-functions/_velmora"),
    Path("share/fish/vendor_completions.d/velmora.fish"),
    Path("share/man/man1/velmora.1"),
)
# Installed folders that travel whole: the code highlighter's language definitions, which the
# program finds beside itself (share/velmora/source-highlight/lang.map names them).
SHARED_FOLDERS = (Path("share/velmora/source-highlight"),)
# Public version identifiers (PEP 440), optionally with a local label.
VERSION_PATTERN = re.compile(
    r"^(?:[1-9][0-9]*!)?(?:0|[1-9][0-9]*)(?:\.(?:0|[1-9][0-9]*))*"
    r"(?:(?:a|b|rc)(?:0|[1-9][0-9]*))?(?:\.post(?:0|[1-9][0-9]*))?(?:\.dev(?:0|[1-9][0-9]*))?"
    r"(?:\+[a-z0-9]+(?:\.[a-z0-9]+)*)?$"
)
# ELF machine numbers to the architecture part of a platform tag.
MACHINES = {3: "i686", 40: "armv7l", 62: "x86_64", 183: "aarch64", 243: "riscv64", 22: "s390x"}
CHUNK = 1 << 20
# All the binaries may take from the system: the C library, its maths part and the dynamic
# loader, under their names on the architectures above. Everything else is linked statically.
SYSTEM_LIBRARIES = frozenset({
    "libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "ld-linux.so.2",
    "ld-linux-armhf.so.3", "ld64.so.2", "ld64.so.1", "ld-linux-riscv64-lp64d.so.1",
})
GLIBC_VERSION = re.compile(r"GLIBC_([0-9]+(?:\.[0-9]+)+)")
# Features of glibc's loader named by what they are, with the release that brought them.
GLIBC_ABI_VERSIONS = {"GLIBC_ABI_DT_RELR": (2, 36)}


class PackagingError(Exception):
    """A tree that cannot become a sound wheel; the message says why."""


# --- ELF -----------------------------------------------------------------------------------

PT_LOAD, PT_DYNAMIC = 1, 2
DT_NULL, DT_NEEDED, DT_STRTAB, DT_SONAME, DT_RPATH, DT_RUNPATH = 0, 1, 5, 14, 15, 29
DT_VERNEED, DT_VERNEEDNUM = 0x6FFFFFFE, 0x6FFFFFFF


@dataclass
class ElfInfo:
    machine: int
    big_endian: bool
    soname: str | None = None
    needed: list[str] = field(default_factory=list)
    runpath: list[str] = field(default_factory=list)
    # Symbol versions needed, by the file that must provide them (GLIBC_2.34 from libc.so.6).
    versions: dict[str, set[str]] = field(default_factory=dict)


def read_elf(path: Path) -> ElfInfo | None:
    """The dynamic-linking facts of an ELF file, or None for anything else."""
    with path.open("rb") as file:
        if file.read(4) != b"\x7fELF":
            return None
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
            try:
                return parse_elf(data)
            except (struct.error, ValueError, IndexError) as error:
                raise PackagingError(f"{path}: malformed ELF file ({error})") from error


def parse_elf(data: mmap.mmap) -> ElfInfo:
    wide, big = data[4] == 2, data[5] == 2
    order = ">" if big else "<"
    (machine,) = struct.unpack_from(order + "H", data, 18)
    if wide:
        (phoff,) = struct.unpack_from(order + "Q", data, 32)
        phentsize, phnum = struct.unpack_from(order + "HH", data, 54)
        # type, flags, offset, vaddr, paddr, filesz, memsz, align
        segment, dyn = order + "IIQQQQQQ", order + "qQ"
    else:
        (phoff,) = struct.unpack_from(order + "I", data, 28)
        phentsize, phnum = struct.unpack_from(order + "HH", data, 42)
        # type, offset, vaddr, paddr, filesz, memsz, flags, align
        segment, dyn = order + "IIIIIIII", order + "iI"
    info = ElfInfo(machine=machine, big_endian=big)

    loads, dynamic = [], None
    for index in range(phnum):
        fields = struct.unpack_from(segment, data, phoff + index * phentsize)
        kind, offset, vaddr, filesz = (
            (fields[0], fields[2], fields[3], fields[5])
            if wide
            else (fields[0], fields[1], fields[2], fields[4])
        )
        if kind == PT_LOAD:
            loads.append((vaddr, offset, filesz))
        elif kind == PT_DYNAMIC:
            dynamic = (offset, filesz)
    if dynamic is None:
        return info  # statically linked

    entries = []
    step = struct.calcsize(dyn)
    for at in range(dynamic[0], dynamic[0] + dynamic[1], step):
        tag, value = struct.unpack_from(dyn, data, at)
        if tag == DT_NULL:
            break
        entries.append((tag, value))
    address = next((value for tag, value in entries if tag == DT_STRTAB), None)
    # The string table is found by address: map it back to a file offset.
    strtab = next(
        (offset + address - vaddr for vaddr, offset, filesz in loads
         if address is not None and vaddr <= address < vaddr + filesz),
        None,
    )
    if strtab is None:
        raise ValueError("no dynamic string table")

    def text(index: int) -> str:
        start = strtab + index
        end = data.find(b"\0", start)
        if end < 0:
            raise ValueError("unterminated string")
        return data[start:end].decode("utf-8", "surrogateescape")

    def file_offset(address: int) -> int:
        for vaddr, offset, filesz in loads:
            if vaddr <= address < vaddr + filesz:
                return offset + address - vaddr
        raise ValueError("an address outside the loaded segments")

    # Version needs: a chain of Elf_Verneed records, each with a chain of Elf_Vernaux names.
    verneed = next((value for tag, value in entries if tag == DT_VERNEED), None)
    count = next((value for tag, value in entries if tag == DT_VERNEEDNUM), 0)
    at = file_offset(verneed) if verneed is not None else 0
    for _ in range(count if verneed is not None else 0):
        _, aux_count, file_name, aux, following = struct.unpack_from(order + "HHIII", data, at)
        names = info.versions.setdefault(text(file_name), set())
        aux_at = at + aux
        for _ in range(aux_count):
            _, _, _, name, aux_next = struct.unpack_from(order + "IHHII", data, aux_at)
            names.add(text(name))
            aux_at += aux_next
        if following == 0:
            break
        at += following

    runpath = rpath = ""
    for tag, value in entries:
        if tag == DT_NEEDED:
            info.needed.append(text(value))
        elif tag == DT_SONAME:
            info.soname = text(value)
        elif tag == DT_RUNPATH:
            runpath = text(value)
        elif tag == DT_RPATH:
            rpath = text(value)
    # The loader ignores RPATH when RUNPATH is present.
    info.runpath = [entry for entry in (runpath or rpath).split(":") if entry]
    return info


def architecture(info: ElfInfo, path: Path) -> str:
    arch = MACHINES.get(info.machine)
    if info.machine == 21:  # 64-bit PowerPC
        arch = "ppc64" if info.big_endian else "ppc64le"
    if arch is None:
        raise PackagingError(f"unknown ELF machine {info.machine} for {path}")
    return arch


def glibc_version(name: str) -> tuple[int, ...] | None:
    if name in GLIBC_ABI_VERSIONS:
        return GLIBC_ABI_VERSIONS[name]
    match = GLIBC_VERSION.fullmatch(name)
    return tuple(int(part) for part in match.group(1).split(".")) if match else None


def check_system_needs(path: Path, info: ElfInfo, own: set[str]) -> tuple[int, ...]:
    """The newest C library version `path` needs; refuses anything else it wants from the system."""
    foreign = [name for name in info.needed if name not in own and name not in SYSTEM_LIBRARIES]
    if foreign:
        raise PackagingError(
            f"{path} needs {', '.join(foreign)} from the system: only the C library (libc, "
            "libm and the dynamic loader) may come from there; link the rest statically "
            "(release preset)"
        )
    newest: tuple[int, ...] = ()
    for provider, versions in info.versions.items():
        if provider in own:
            continue
        for version in versions:
            number = glibc_version(version)
            if number is None:
                raise PackagingError(
                    f"{path} needs symbol version {version} of {provider}, which is not a C "
                    "library version"
                )
            newest = max(newest, number)
    return newest


def platform_tag(arch: str, glibc: tuple[int, ...]) -> str:
    """manylinux_<major>_<minor>_<arch> (PEP 600): runs where glibc is at least that new."""
    if len(glibc) < 2:
        raise PackagingError(
            "no binary needs a versioned symbol of the C library: cannot tell which glibc the "
            "wheel needs"
        )
    return f"manylinux_{glibc[0]}_{glibc[1]}_{arch}"


# --- the installed tree ----------------------------------------------------------------------


@dataclass
class Payload:
    version: str
    release_tag: str
    platform: str
    # (path inside the wheel, file on disk, executable)
    files: list[tuple[str, Path, bool]]


def read_manifest(prefix: Path) -> tuple[str, str]:
    path = prefix / MANIFEST
    try:
        manifest = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise PackagingError(f"{path} is missing: is {prefix} an installed velmora tree?") from None
    except (OSError, ValueError) as error:
        raise PackagingError(f"{path} is unreadable: {error}") from error
    version, tag = manifest.get("version"), manifest.get("release_tag", "")
    if not isinstance(version, str) or not isinstance(tag, str):
        raise PackagingError(f"{path} must hold the text fields version and release_tag")
    if not VERSION_PATTERN.match(version):
        raise PackagingError(f"version {version!r} is not a valid package version (PEP 440)")
    return version, tag


def check_program_version(program: Path, expected: str) -> None:
    try:
        result = subprocess.run(
            [str(program), "--version"],
            capture_output=True,
            text=True,
            timeout=60,
            env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "NO_COLOR": "1"},
        )
    except (OSError, subprocess.TimeoutExpired) as error:
        raise PackagingError(f"cannot run {program} --version: {error}") from error
    shown = result.stdout.strip()
    if result.returncode != 0 or shown != f"{PROGRAM} {expected}":
        raise PackagingError(
            f"{program} --version printed {shown!r} (status {result.returncode}), "
            f"but the release manifest says {PROGRAM} {expected!r}"
        )


def check_finds_ours(path: Path, info: ElfInfo, lib: Path) -> None:
    """The program loads the session library by its own path; a binary for which the loader
    must find one of ours needs the folder they are installed in."""
    needs_ours = any((lib / name).exists() for name in info.needed)
    if needs_ours and LIBRARY_RUNPATH not in info.runpath:
        raise PackagingError(
            f"{path} looks for its libraries in {':'.join(info.runpath) or 'no RUNPATH'}, "
            f"not {LIBRARY_RUNPATH}: it would not start from a virtual environment"
        )


def collect(prefix: Path, system_libraries: bool = False) -> Payload:
    version, tag = read_manifest(prefix)
    program = prefix / "bin" / PROGRAM
    info = read_elf(program) if program.is_file() else None
    if info is None:
        raise PackagingError(f"{program} is missing or not an ELF program")
    check_finds_ours(program, info, prefix / "lib")
    check_program_version(program, tag or version)

    data = f"{DISTRIBUTION}-{version}.data"
    files = [(f"{data}/scripts/{PROGRAM}", program, True)]
    binaries = {program: info}
    by_soname: dict[str, Path] = {}
    lib = prefix / "lib"
    for path in sorted(lib.iterdir()) if lib.is_dir() else []:
        # The tree's links only repeat the real files under other names.
        if path.is_symlink() or not path.is_file() or ".so" not in path.name:
            continue
        library = read_elf(path)
        if library is None:
            continue
        name = library.soname or path.name
        if name in by_soname:
            raise PackagingError(
                f"{by_soname[name].name} and {path.name} in {lib} both provide {name}: "
                "install into an empty prefix"
            )
        by_soname[name] = path
        binaries[path] = library
        files.append((f"{data}/data/lib/{name}", path, True))
    # Whatever the program and its libraries need from the tree must travel with them.
    wanted = {SESSION_LIBRARY}
    if RUNTIME_LIBRARY in by_soname:
        wanted.add(TLS_LIBRARY)
    for binary in binaries.values():
        wanted.update(name for name in binary.needed if (lib / name).exists())
    missing = sorted(wanted - by_soname.keys())
    if missing:
        raise PackagingError(f"{lib} lacks {', '.join(missing)}")
    for path, binary in binaries.items():
        check_finds_ours(path, binary, lib)
    arch = architecture(info, program)
    glibc: tuple[int, ...] = ()
    for path, binary in binaries.items():
        if architecture(binary, path) != arch:
            raise PackagingError(f"{path} is built for {architecture(binary, path)}, not {arch}")
        if not system_libraries:
            glibc = max(glibc, check_system_needs(path, binary, set(by_soname)))
    for relative in SHARED_FILES:
        path = prefix / relative
        if not path.is_file():
            raise PackagingError(f"{path} is missing (the build generates it)")
        files.append((f"{data}/data/{relative.as_posix()}", path, False))
    for folder in SHARED_FOLDERS:
        if not (prefix / folder / "lang.map").is_file():
            raise PackagingError(f"{prefix / folder} has no lang.map (the install copies it)")
        for path in sorted((prefix / folder).iterdir()):
            if path.is_file() and not path.is_symlink():
                files.append((f"{data}/data/{folder.as_posix()}/{path.name}", path, False))
    # A build that takes libraries from the system runs only where they are: a tag that promises
    # nothing more than the architecture.
    platform = f"linux_{arch}" if system_libraries else platform_tag(arch, glibc)
    return Payload(version, tag, platform, files)


# --- the wheel -------------------------------------------------------------------------------


def record_hash(digest: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def metadata_text(payload: Payload) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {DISTRIBUTION}",
        f"Version: {payload.version}",
        f"Summary: {SUMMARY}",
        f"Platform: {payload.platform}",
    ]
    body = f"`{PROGRAM}`, the command-line client of the Velmora AI agent service."
    if payload.release_tag:
        body += f"\n\nRelease tag: {payload.release_tag}"
    return "\n".join(lines) + "\n\n" + body + "\n"


def wheel_text(tag: str) -> str:
    return (
        "Wheel-Version: 1.0\n"
        "Generator: velmora packaging/build_wheel.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {tag}\n"
    )


def zip_time(epoch: float) -> tuple[int, int, int, int, int, int]:
    # ZIP cannot hold dates before 1980.
    return time.gmtime(max(epoch, 315532800))[:6]


def write_wheel(payload: Payload, out_dir: Path, compression_level: int) -> Path:
    tag = f"py3-none-{payload.platform}"
    name = f"{DISTRIBUTION}-{payload.version}-{tag}.whl"
    dist_info = f"{DISTRIBUTION}-{payload.version}.dist-info"
    fixed_time = os.environ.get("SOURCE_DATE_EPOCH")
    out_dir.mkdir(parents=True, exist_ok=True)
    # Written beside its final name, then renamed: a reader never sees half a wheel.
    handle, temporary = tempfile.mkstemp(prefix=f".{name}.", dir=out_dir)
    os.close(handle)
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")

    def entry(arcname: str, mtime: float, executable: bool) -> zipfile.ZipInfo:
        info = zipfile.ZipInfo(arcname, zip_time(float(fixed_time) if fixed_time else mtime))
        info.external_attr = ((0o755 if executable else 0o644) | stat.S_IFREG) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        # ZipFile's own level applies only to entries it names itself (public from 3.13 as
        # compress_level, which still honours this spelling).
        info._compresslevel = compression_level
        return info

    try:
        with zipfile.ZipFile(temporary, "w") as wheel:
            for arcname, path, executable in payload.files:
                digest, size = hashlib.sha256(), 0
                with path.open("rb") as source, wheel.open(
                    entry(arcname, path.stat().st_mtime, executable),
                    "w",
                    force_zip64=path.stat().st_size >= zipfile.ZIP64_LIMIT,
                ) as target:
                    while chunk := source.read(CHUNK):
                        digest.update(chunk)
                        size += len(chunk)
                        target.write(chunk)
                writer.writerow([arcname, record_hash(digest.digest()), size])
            now = time.time()
            for filename, text in (
                ("METADATA", metadata_text(payload)),
                ("WHEEL", wheel_text(tag)),
            ):
                data = text.encode("utf-8")
                arcname = f"{dist_info}/{filename}"
                wheel.writestr(entry(arcname, now, False), data)
                writer.writerow([arcname, record_hash(hashlib.sha256(data).digest()), len(data)])
            writer.writerow([f"{dist_info}/RECORD", "", ""])
            wheel.writestr(entry(f"{dist_info}/RECORD", now, False), record.getvalue())
        # mkstemp made it private; a wheel is published, so it gets the usual mode.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        final = out_dir / name
        os.replace(temporary, final)
        return final
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


def build_wheel(
    prefix: Path, out_dir: Path, compression_level: int = 6, system_libraries: bool = False
) -> Path:
    return write_wheel(collect(prefix, system_libraries), out_dir, compression_level)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--prefix", required=True, type=Path, help="installed tree")
    parser.add_argument("--out", default=Path("dist"), type=Path, help="folder for the wheel")
    parser.add_argument(
        "--compression-level", type=int, default=6, choices=range(0, 10), metavar="0-9"
    )
    parser.add_argument(
        "--allow-system-libraries",
        action="store_true",
        help="pack a build that takes libraries from the system (a test build), tagged "
        "linux_<arch>: it runs only where those libraries are",
    )
    args = parser.parse_args(argv)
    try:
        wheel = build_wheel(
            args.prefix, args.out, args.compression_level, args.allow_system_libraries
        )
    except (PackagingError, OSError) as error:
        print(f"build_wheel: error: {error}", file=sys.stderr)
        return 1
    print(wheel)
    return 0


if __name__ == "__main__":
    sys.exit(main())
