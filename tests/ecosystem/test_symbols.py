"""The link-time ABI check: its allowed list, and its verdict on good and bad modules."""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import quorbel
from commands import REPO

SCRIPTS = os.path.join(REPO, "scripts")


def load_script(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(SCRIPTS, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


check_symbols = load_script("check_symbols")
gen_stable_abi = load_script("gen_stable_abi")

needs_binutils = pytest.mark.skipif(
    not (shutil.which("nm") and shutil.which("readelf")), reason="binutils not installed")


@pytest.mark.parametrize("decl, names", [
    (" PyTypeObject PyType_Type", ["PyType_Type"]),
    # One declaration naming two variables: missing the first hid Py_False once.
    (" struct _longobject _Py_FalseStruct, _Py_TrueStruct", ["_Py_FalseStruct", "_Py_TrueStruct"]),
    (" const unsigned char _Py_ctype_table[256]", ["_Py_ctype_table"]),
    (" int (*PyOS_InputHook)(void)", ["PyOS_InputHook"]),
    (" char *(*PyOS_ReadlineFunctionPointer)(FILE *, FILE *, const char *)",
     ["PyOS_ReadlineFunctionPointer"]),
])
def test_data_declarations_name_every_variable(decl, names):
    assert gen_stable_abi.data_names(decl) == names


@pytest.mark.parametrize("decl, name", [
    (" PyObject * PyUnicode_FromString( const char *u)", "PyUnicode_FromString"),
    (" void Py_FatalError(const char *message) __attribute__((__noreturn__))", "Py_FatalError"),
    (" const char * PyModule_GetName(PyObject *)", "PyModule_GetName"),
])
def test_function_declarations_give_their_name(decl, name):
    assert gen_stable_abi.function_name(decl) == name


# PyMember_GetOne is structmember.h's, outside Python.h.
IN_THE_37_ABI = ["PyType_FromSpecWithBases", "PyErr_SetExcInfo", "PyImport_ImportModuleLevelObject",
                 "_Py_FalseStruct", "_PyArg_ParseTupleAndKeywords_SizeT", "PyMember_GetOne"]
# Newer than 3.7, or never part of the limited API.
OUTSIDE = ["PyUnicode_AsUTF8AndSize", "PyType_FromModuleAndSpec", "PyModule_AddType",
           "PyObject_GenericGetDict", "PyFrame_New", "PyCode_New", "PyObject_Vectorcall",
           "Py_NewRef"]


@pytest.mark.parametrize("name, allowed", [(n, True) for n in IN_THE_37_ABI]
                         + [(n, False) for n in OUTSIDE])
def test_allowed_list_follows_the_37_floor(name, allowed):
    assert (name in check_symbols.load_allowed()) is allowed


def pyenv_python37():
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    versions = os.path.join(root, "versions")
    if not os.path.isdir(versions):
        return None
    found = sorted(v for v in os.listdir(versions) if v.startswith("3.7."))
    return os.path.join(versions, found[-1], "bin", "python") if found else None


@needs_binutils
def test_allowed_list_is_current(tmp_path):
    python = pyenv_python37()
    if python is None or not os.path.exists(python):
        pytest.skip("CPython 3.7 is not installed")
    out = tmp_path / "abi.txt"
    subprocess.run([python, os.path.join(SCRIPTS, "gen_stable_abi.py"), "--output", str(out)],
                   check=True, stderr=subprocess.DEVNULL)
    with open(os.path.join(SCRIPTS, "stable_abi_37.txt"), encoding="utf-8") as f:
        assert out.read_text(encoding="utf-8") == f.read()


@needs_binutils
def test_the_loaded_module_passes():
    imports, problems = check_symbols.check(quorbel.__file__, [sys.executable])
    assert problems == []
    assert imports, "a working module imports at least some C API"


BAD_MODULES = {
    "extra export": (
        'PyObject *PyInit_quorbel(void) { return PyModule_New("quorbel"); }\n'
        "int quorbel_helper(void) { return 1; }\n",
        "exported besides PyInit_quorbel: quorbel_helper"),
    "no entry point": (
        'PyObject *PyInit_other(void) { return PyModule_New("other"); }\n',
        "PyInit_quorbel is not exported"),
    "API outside the floor": (
        "PyObject *PyInit_quorbel(void) {\n"
        "    Py_ssize_t n; PyUnicode_AsUTF8AndSize(Py_None, &n); return NULL; }\n",
        "not in the stable ABI at 3.7: PyUnicode_AsUTF8AndSize"),
}


def build_shared(tmp_path, source, name="quorbel.abi3.so", extra=()):
    cc = shutil.which("gcc") or shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler")
    src = tmp_path / "bad.c"
    src.write_text('#define PY_SSIZE_T_CLEAN\n#include <Python.h>\n' + source)
    out = tmp_path / name
    subprocess.run([cc, "-shared", "-fPIC", "-w", "-I" + sysconfig.get_paths()["include"],
                    str(src), "-o", str(out)] + list(extra), check=True)
    return str(out)


@needs_binutils
@pytest.mark.parametrize("case", sorted(BAD_MODULES))
def test_faulty_modules_are_rejected(tmp_path, case):
    source, message = BAD_MODULES[case]
    _, problems = check_symbols.check(build_shared(tmp_path, source))
    assert message in problems


@needs_binutils
def test_a_module_linked_to_libpython_or_misnamed_is_rejected(tmp_path):
    libdir = sysconfig.get_config_var("LIBDIR")
    ldlib = sysconfig.get_config_var("LDLIBRARY") or ""
    if not ldlib.endswith(".so") or not os.path.exists(os.path.join(libdir, ldlib)):
        pytest.skip("this interpreter has no shared libpython")
    lib = ldlib[len("lib"):-len(".so")]
    path = build_shared(tmp_path, 'PyObject *PyInit_quorbel(void) { return PyModule_New("q"); }\n',
                        name="quorbel.cpython-3x.so",
                        extra=["-L" + libdir, "-Wl,--no-as-needed", "-l" + lib])
    _, problems = check_symbols.check(path)
    assert any(p.startswith("links the interpreter library itself") for p in problems)
    assert any("does not end in .abi3.so" in p for p in problems)
