#!/usr/bin/env python3
"""Check the linked modules' dynamic symbols against the stable ABI at 3.7.

    python scripts/check_symbols.py FILE.abi3.so|FILE.whl [--interpreter PYTHON ...]

For the file, or for each extension module in the wheel (quorbel and quorbel_batch),
requires that:
  - PyInit_<name> is the only symbol the module exports (NAME.abi3.so);
  - every undefined Py*/_Py* symbol is in scripts/stable_abi_37.txt (made by
    scripts/gen_stable_abi.py from the 3.7 headers at Py_LIMITED_API=0x03070000);
  - the module does not link libpython itself (abi3 modules take the symbols
    from whichever interpreter loads them);
  - with --interpreter, each given CPython's shared library exports all of
    the module's Py symbols, so the file would load there.
Exits 1 and lists the offenders otherwise.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ALLOWED_FILE = os.path.join(HERE, "stable_abi_37.txt")
PY_NAME = re.compile(r"^_?Py")


def load_allowed(path=ALLOWED_FILE):
    names = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                names.add(line.split()[-1])
    return names


def dynamic_symbols(path, which):
    out = subprocess.check_output(["nm", "-D", "--" + which + "-only", path],
                                  universal_newlines=True)
    symbols = set()
    for line in out.splitlines():
        parts = line.split()
        if not parts:
            continue
        # Weak undefined references (w) to the toolchain's optional hooks are not imports.
        if which == "undefined" and len(parts) >= 2 and parts[-2] == "w":
            continue
        symbols.add(parts[-1].split("@")[0])
    return symbols


def needed_libraries(path):
    out = subprocess.check_output(["readelf", "-d", path], universal_newlines=True)
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def interpreter_exports(python):
    code = ("import sysconfig, os;"
            "print(os.path.join(sysconfig.get_config_var('LIBDIR') or '',"
            " sysconfig.get_config_var('INSTSONAME') or ''))")
    lib = subprocess.check_output([python, "-c", code], universal_newlines=True).strip()
    # A statically linked interpreter exports its API from the executable itself.
    target = lib if os.path.isfile(lib) else os.path.realpath(python)
    return target, dynamic_symbols(target, "defined")


def entry_of(path):
    """The one symbol a module file may export: PyInit_ and the name before its first dot."""
    return "PyInit_" + os.path.basename(path).split(".")[0]


def check(path, interpreters=()):
    entry = entry_of(path)
    problems = []
    if not os.path.basename(path).endswith(".abi3.so"):
        problems.append("file name %s does not end in .abi3.so" % os.path.basename(path))

    exports = dynamic_symbols(path, "defined")
    if entry not in exports:
        problems.append("%s is not exported" % entry)
    extra = sorted(exports - {entry})
    if extra:
        problems.append("exported besides %s: %s" % (entry, " ".join(extra)))

    imports = {s for s in dynamic_symbols(path, "undefined") if PY_NAME.match(s)}
    outside = sorted(imports - load_allowed())
    if outside:
        problems.append("not in the stable ABI at 3.7: " + " ".join(outside))

    linked = [lib for lib in needed_libraries(path) if lib.startswith("libpython")]
    if linked:
        problems.append("links the interpreter library itself: " + " ".join(linked))

    for python in interpreters:
        target, provided = interpreter_exports(python)
        absent = sorted(imports - provided)
        if absent:
            problems.append("%s lacks %s" % (target, " ".join(absent)))
    return imports, problems


WHEEL_MODULES = ("quorbel", "quorbel_batch")


def modules_from_wheel(wheel, tmp):
    with zipfile.ZipFile(wheel) as zf:
        names = sorted(n for n in zf.namelist() if n.endswith(".so"))
        found = tuple(os.path.basename(n).split(".")[0] for n in names)
        if found != WHEEL_MODULES:
            sys.exit("%s: expected the shared objects of %s, found %s"
                     % (wheel, ", ".join(WHEEL_MODULES), names))
        return [zf.extract(n, tmp) for n in names]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("file", help="an .abi3.so module, or the wheel holding both")
    parser.add_argument("--interpreter", action="append", default=[],
                        help="also require this CPython to export every imported symbol")
    opts = parser.parse_args()

    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        paths = [opts.file]
        if opts.file.endswith(".whl"):
            paths = modules_from_wheel(opts.file, tmp)
        for path in paths:
            imports, problems = check(path, opts.interpreter)
            label = os.path.basename(opts.file)
            if path != opts.file:
                label += ":" + os.path.basename(path)
            for problem in problems:
                print("check_symbols: %s: %s" % (label, problem), file=sys.stderr)
            failed = failed or bool(problems)
            if not problems:
                print("check_symbols: %s: OK (exports only %s; %d Py symbols, all in the 3.7 "
                      "stable ABI%s)" % (label, entry_of(path), len(imports),
                                         "; present in %d interpreters" % len(opts.interpreter)
                                         if opts.interpreter else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
