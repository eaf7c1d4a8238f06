"""build_wheel.py against small installed trees made of real ELF files compiled here."""

from __future__ import annotations

import csv
import hashlib
import io
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import build_wheel  # noqa: E402

CXX = os.environ.get("CXX", "c++")
ARCH = {"x86_64": "x86_64", "aarch64": "aarch64", "AMD64": "x86_64"}.get(platform.machine())
SHARED = [
    "share/bash-completion/completions/velmora",
    "share/zsh/site-functions/_velmora",
    "share/fish/vendor_completions.d/velmora.fish",
    "share/man/man1/velmora.1",
    "share/velmora/source-highlight/lang.map",
    "share/velmora/source-highlight/python.lang",
]


def compile_cxx(source: str, output: Path, *flags: str, static_runtime: bool = True) -> None:
    """Compiled as the release build links: the C++ runtime inside, only libc from the system."""
    source_file = output.with_suffix(".cpp")
    source_file.write_text(source)
    runtime = ["-static-libstdc++", "-static-libgcc"] if static_runtime else []
    subprocess.run([CXX, str(source_file), "-o", str(output), *flags, *runtime], check=True,
                   cwd=output.parent)
    source_file.unlink()


def newest_glibc(*paths: Path) -> str:
    """The newest GLIBC_x.y any of the files needs, as binutils reads their version needs."""
    found = set()
    for path in paths:
        listing = subprocess.run(["readelf", "-V", "-W", str(path)], capture_output=True,
                                 text=True, check=True).stdout
        found.update(re.findall(r"Name: GLIBC_([0-9.]+)\b", listing))
    major, minor = max(tuple(int(part) for part in version.split(".")) for version in found)[:2]
    return f"{major}_{minor}"


def make_tree(root: Path, shown: str = "1.2.3", runpath: bool = True) -> Path:
    """bin/velmora (prints "velmora <shown>", needs libdemo.so.1), lib/, share/, manifest."""
    prefix = root / "prefix"
    (prefix / "bin").mkdir(parents=True)
    lib = prefix / "lib"
    lib.mkdir()
    compile_cxx("int demo() { return 0; }", lib / "libdemo.so.1.0.0",
                "-shared", "-fPIC", "-Wl,-soname,libdemo.so.1")
    os.symlink("libdemo.so.1.0.0", lib / "libdemo.so.1")
    os.symlink("libdemo.so.1", lib / "libdemo.so")
    compile_cxx("int session() { return 0; }", lib / "libvelmora_session.so", "-shared", "-fPIC")
    flags = ["-L" + str(lib), "-ldemo"]
    if runpath:
        flags.append("-Wl,--enable-new-dtags,-rpath,$ORIGIN/../lib")
    compile_cxx(
        '#include <cstdio>\nint demo();\nint main() { std::puts("velmora ' + shown
        + '"); return demo(); }',
        prefix / "bin" / "velmora",
        *flags,
    )
    for relative in SHARED:
        (prefix / relative).parent.mkdir(parents=True, exist_ok=True)
        (prefix / relative).write_text(f"# {relative}\n")
    (prefix / "share/velmora").mkdir(exist_ok=True)
    set_manifest(prefix, "1.2.3")
    return prefix


def set_manifest(prefix: Path, version: str, tag: str = "") -> None:
    (prefix / "share/velmora/release.json").write_text(
        json.dumps({"version": version, "release_tag": tag})
    )


@unittest.skipIf(ARCH is None, "platform tag mapping only checked on x86_64 and aarch64")
class BuildWheelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls) -> None:
        cls.built = Path(tempfile.mkdtemp(prefix="velmora-wheel-test-"))
        cls.good = make_tree(cls.built / "good")

    @classmethod
    def tearDownClass(cls) -> None:
        shutil.rmtree(cls.built)

    def setUp(self) -> None:
        self.work = Path(tempfile.mkdtemp(prefix="velmora-wheel-case-"))
        self.addCleanup(shutil.rmtree, self.work)
        self.prefix = self.work / "prefix"
        shutil.copytree(self.good, self.prefix, symlinks=True)
        self.out = self.work / "dist"

    def tag(self, prefix: Path) -> str:
        binaries = [prefix / "bin/velmora", *(prefix / "lib").glob("*.so*")]
        return f"manylinux_{newest_glibc(*binaries)}_{ARCH}"

    def test_wheel_holds_program_libraries_and_docs_with_a_true_record(self) -> None:
        wheel = build_wheel.build_wheel(self.prefix, self.out)
        tag = self.tag(self.prefix)
        self.assertEqual(wheel.name, f"velmora_cli-1.2.3-py3-none-{tag}.whl")
        data = "velmora_cli-1.2.3.data"
        info = "velmora_cli-1.2.3.dist-info"
        with zipfile.ZipFile(wheel) as archive:
            names = archive.namelist()
            self.assertEqual(
                sorted(names),
                sorted(
                    [f"{data}/scripts/velmora", f"{data}/data/lib/libdemo.so.1",
                     f"{data}/data/lib/libvelmora_session.so"]
                    + [f"{data}/data/{relative}" for relative in SHARED]
                    + [f"{info}/METADATA", f"{info}/WHEEL", f"{info}/RECORD"]
                ),
            )
            self.assertEqual(names[-1], f"{info}/RECORD")
            # The loader's name carries the real file's bytes.
            self.assertEqual(
                archive.read(f"{data}/data/lib/libdemo.so.1"),
                (self.prefix / "lib/libdemo.so.1.0.0").read_bytes(),
            )
            for name in names:
                mode = archive.getinfo(name).external_attr >> 16
                executable = "/scripts/" in name or "/lib/" in name
                self.assertEqual(mode & 0o777, 0o755 if executable else 0o644, name)

            rows = list(csv.reader(io.StringIO(archive.read(f"{info}/RECORD").decode())))
            self.assertEqual(sorted(row[0] for row in rows), sorted(names))
            for path, digest, size in rows:
                if path == f"{info}/RECORD":
                    self.assertEqual((digest, size), ("", ""))
                    continue
                content = archive.read(path)
                self.assertEqual(digest, build_wheel.record_hash(hashlib.sha256(content).digest()))
                self.assertEqual(int(size), len(content), path)

            wheel_file = archive.read(f"{info}/WHEEL").decode()
            self.assertIn("Root-Is-Purelib: false\n", wheel_file)
            self.assertIn(f"Tag: py3-none-{tag}\n", wheel_file)
            metadata = archive.read(f"{info}/METADATA").decode()
            self.assertTrue(metadata.startswith("Metadata-Version: 2.1\nName: velmora_cli\n"))
            self.assertIn("\nVersion: 1.2.3\n", metadata)
        self.assertEqual([path.name for path in self.out.iterdir()], [wheel.name])
        umask = os.umask(0o022)
        self.addCleanup(os.umask, umask)
        again = build_wheel.build_wheel(self.prefix, self.work / "again")
        self.assertEqual(again.stat().st_mode & 0o777, 0o644)

    def test_release_tag_must_be_what_the_program_shows(self) -> None:
        set_manifest(self.prefix, "1.2.3", "cli-v1-2-abc")
        with self.assertRaisesRegex(build_wheel.PackagingError, "--version printed 'velmora 1.2.3'"):
            build_wheel.build_wheel(self.prefix, self.out)
        tagged = make_tree(self.work / "tagged", shown="cli-v1-2-abc")
        set_manifest(tagged, "1.2.3", "cli-v1-2-abc")
        wheel = build_wheel.build_wheel(tagged, self.out)
        with zipfile.ZipFile(wheel) as archive:
            metadata = archive.read("velmora_cli-1.2.3.dist-info/METADATA").decode()
        self.assertIn("Release tag: cli-v1-2-abc", metadata)

    def test_unsound_trees_are_refused_and_leave_no_wheel(self) -> None:
        def no_manifest(prefix: Path) -> None:
            (prefix / "share/velmora/release.json").unlink()

        def stale_library(prefix: Path) -> None:
            shutil.copy(prefix / "lib/libdemo.so.1.0.0", prefix / "lib/libdemo.so.1.0.1")

        def no_man_page(prefix: Path) -> None:
            (prefix / "share/man/man1/velmora.1").unlink()

        def no_language_map(prefix: Path) -> None:
            (prefix / "share/velmora/source-highlight/lang.map").unlink()

        def no_session(prefix: Path) -> None:
            (prefix / "lib/libvelmora_session.so").unlink()

        def runtime_without_tls(prefix: Path) -> None:
            compile_cxx("int runtime() { return 0; }", prefix / "lib/libvelmora_runtime.so",
                        "-shared", "-fPIC")

        def script_program(prefix: Path) -> None:
            (prefix / "bin/velmora").write_text("#!/bin/sh\necho velmora 1.2.3\n")

        def bad_json(prefix: Path) -> None:
            (prefix / "share/velmora/release.json").write_text("{version")

        no_runpath = make_tree(self.work / "plain", runpath=False)
        cases = [
            (no_manifest, self.prefix, "release.json is missing"),
            (bad_json, self.prefix, "release.json is unreadable"),
            (lambda p: set_manifest(p, "1.0-beta"), self.prefix, "not a valid package version"),
            (lambda p: set_manifest(p, "1.2.4"), self.prefix, "the release manifest says"),
            (stale_library, self.prefix, "both provide libdemo.so.1"),
            (no_man_page, self.prefix, "velmora.1 is missing"),
            (no_session, self.prefix, "lacks libvelmora_session.so"),
            (runtime_without_tls, self.prefix, "lacks libvelmora_tls.so"),
            (no_language_map, self.prefix, "has no lang.map"),
            (script_program, self.prefix, "not an ELF program"),
            (lambda p: None, no_runpath, "would not start from a virtual environment"),
        ]
        for mutate, prefix, message in cases:
            with self.subTest(message=message):
                case = self.work / f"case-{len(message)}"
                shutil.copytree(prefix, case, symlinks=True)
                mutate(case)
                with self.assertRaisesRegex(build_wheel.PackagingError, message):
                    build_wheel.build_wheel(case, self.out)
                self.assertEqual(list(self.out.glob("*")) if self.out.exists() else [], [])
                shutil.rmtree(case)

    def test_tag_is_the_newest_glibc_any_binary_needs(self) -> None:
        # arc4random is a glibc 2.36 function: a library calling it raises the whole wheel's tag.
        glibc = tuple(int(part) for part in os.confstr("CS_GNU_LIBC_VERSION").split()[1].split("."))
        if glibc < (2, 36):
            self.skipTest("needs glibc 2.36 to build a library that needs it")
        before = build_wheel.build_wheel(self.prefix, self.work / "before").name
        self.assertNotIn("manylinux_2_36_", before)
        compile_cxx("#include <cstdlib>\nint demo() { return static_cast<int>(arc4random() & 0); }",
                    self.prefix / "lib/libdemo.so.1.0.0", "-shared", "-fPIC",
                    "-Wl,-soname,libdemo.so.1")
        after = build_wheel.build_wheel(self.prefix, self.work / "after").name
        self.assertEqual(after, f"velmora_cli-1.2.3-py3-none-manylinux_2_36_{ARCH}.whl")
        self.assertEqual(after, f"velmora_cli-1.2.3-py3-none-{self.tag(self.prefix)}.whl")
        # Packed relative relocations need a loader feature that glibc names, not a release.
        compile_cxx("#include <cstdlib>\nint value = 0;\nint* pointer = &value;\n"
                    "int demo() { return *pointer + (std::getenv(\"VELMORA_NO_SUCH\") != nullptr); }",
                    self.prefix / "lib/libdemo.so.1.0.0", "-shared", "-fPIC",
                    "-Wl,-soname,libdemo.so.1", "-Wl,-z,pack-relative-relocs")
        library = build_wheel.read_elf(self.prefix / "lib/libdemo.so.1.0.0")
        self.assertIn("GLIBC_ABI_DT_RELR", library.versions["libc.so.6"])
        packed = build_wheel.build_wheel(self.prefix, self.work / "packed").name
        self.assertEqual(packed, f"velmora_cli-1.2.3-py3-none-manylinux_2_36_{ARCH}.whl")

    def test_anything_but_the_c_library_from_the_system_is_refused(self) -> None:
        # A library that takes the C++ runtime from the system, as a plain g++ link does.
        compile_cxx("#include <string>\nint demo() { return static_cast<int>(std::to_string(4).size()) - 1; }",
                    self.prefix / "lib/libdemo.so.1.0.0", "-shared", "-fPIC",
                    "-Wl,-soname,libdemo.so.1", static_runtime=False)
        with self.assertRaisesRegex(build_wheel.PackagingError,
                                    r"libdemo.so.1.0.0 needs libstdc\+\+.so.6\b.* from the system"):
            build_wheel.build_wheel(self.prefix, self.out)
        self.assertFalse(self.out.exists() and any(self.out.iterdir()))
        # A test build may be packed as such: its tag promises no more than the architecture.
        wheel = build_wheel.build_wheel(self.prefix, self.out, system_libraries=True)
        self.assertEqual(wheel.name, f"velmora_cli-1.2.3-py3-none-linux_{ARCH}.whl")

    def test_same_tree_and_source_date_give_the_same_bytes(self) -> None:
        os.environ["SOURCE_DATE_EPOCH"] = "1700000000"
        self.addCleanup(os.environ.pop, "SOURCE_DATE_EPOCH")
        first = build_wheel.build_wheel(self.prefix, self.work / "one").read_bytes()
        second = build_wheel.build_wheel(self.prefix, self.work / "two").read_bytes()
        self.assertEqual(first, second)

    def test_command_line_prints_the_wheel_or_one_error_line(self) -> None:
        script = Path(build_wheel.__file__)
        ok = subprocess.run([sys.executable, script, "--prefix", self.prefix, "--out", self.out,
                             "--compression-level", "1"], capture_output=True, text=True)
        self.assertEqual(ok.returncode, 0, ok.stderr)
        self.assertTrue(Path(ok.stdout.strip()).is_file())
        bad = subprocess.run([sys.executable, script, "--prefix", self.work / "nowhere"],
                             capture_output=True, text=True)
        self.assertEqual(bad.returncode, 1)
        self.assertRegex(bad.stderr, r"^build_wheel: error: .*release.json is missing")

    def test_elf_reader_facts_and_garbage(self) -> None:
        program = build_wheel.read_elf(self.prefix / "bin/velmora")
        self.assertIn("libdemo.so.1", program.needed)
        self.assertEqual(program.runpath, ["$ORIGIN/../lib"])
        self.assertTrue(any(version.startswith("GLIBC_2.") for version in program.versions["libc.so.6"]))
        self.assertNotIn("libstdc++.so.6", program.needed)
        self.assertEqual(build_wheel.read_elf(self.prefix / "lib/libdemo.so.1.0.0").soname,
                         "libdemo.so.1")
        self.assertIsNone(build_wheel.read_elf(self.prefix / "share/man/man1/velmora.1"))
        truncated = self.work / "truncated"
        truncated.write_bytes((self.prefix / "bin/velmora").read_bytes()[:80])
        with self.assertRaisesRegex(build_wheel.PackagingError, "malformed ELF"):
            build_wheel.read_elf(truncated)


if __name__ == "__main__":
    unittest.main()
