#!/usr/bin/env python3
"""Check the linked module's dynamic symbols against the stable ABI at 3.7.

    python scripts/check_symbols.py FILE.abi3.so|FILE.whl [--interpreter PYTHON ...]

Requires that:
  - PyInit_quorbel is the only symbol the module exports;
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
ENTRY = "PyInit_quorbel"
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


def check(path, interpreters=()):
    problems = []
    if not os.path.basename(path).endswith(".abi3.so"):
        problems.append("file name %s does not end in .abi3.so" % os.path.basename(path))

    exports = dynamic_symbols(path, "defined")
    if ENTRY not in exports:
        problems.append("%s is not exported" % ENTRY)
    extra = sorted(exports - {ENTRY})
    if extra:
        problems.append("exported besides %s: %s" % (ENTRY, " ".join(extra)))

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


def module_from_wheel(wheel, tmp):
    with zipfile.ZipFile(wheel) as zf:
        names = [n for n in zf.namelist() if n.endswith(".so")]
        if len(names) != 1:
            sys.exit("%s: expected exactly one shared object, found %s" % (wheel, names))
        return zf.extract(names[0], tmp)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("file", help="quorbel.abi3.so, or a wheel holding it")
    parser.add_argument("--interpreter", action="append", default=[],
                        help="also require this CPython to export every imported symbol")
    opts = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        path = opts.file
        if path.endswith(".whl"):
            path = module_from_wheel(path, tmp)
        imports, problems = check(path, opts.interpreter)

    label = os.path.basename(opts.file)
    if problems:
        for problem in problems:
            print("check_symbols: %s: %s" % (label, problem), file=sys.stderr)
        return 1
    print("check_symbols: %s: OK (exports only %s; %d Py symbols, all in the 3.7 stable ABI%s)"
          % (label, ENTRY, len(imports),
             "; present in %d interpreters" % len(opts.interpreter) if opts.interpreter else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
