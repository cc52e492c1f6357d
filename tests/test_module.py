"""The module object, its globals, its function objects and its start-up.

Anything that re-imports the module or touches sys.modules runs in a fresh
interpreter process.
"""

import copy
import gc
import inspect
import pickle
import pydoc
import shutil
import subprocess
import sys
import textwrap

import pytest

import vorn

REFUSED_INTERPRETER = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
GLOBALS = ["__builtins__", "sys", "__all__", "HEX", "ErrUnexpectedEndOfInput", "UTF16_CODEC",
           "stringify", "parse", "__test__"]


def run_py(code, *args, flags=()):
    """Runs code in a fresh interpreter; returns its stdout, failing on a non-zero exit."""
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture
def pkg_root(tmp_path):
    """A folder holding a package "pkg" with a copy of the built module inside."""
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").write_text("")
    shutil.copy(vorn.__file__, tmp_path / "pkg")
    return str(tmp_path)


# --- Globals -------------------------------------------------------------------

def test_globals_values_and_creation_order():
    out = run_py("""
        import builtins, sys, vorn
        names = list(vars(vorn))
        start = names.index("__builtins__")
        assert set(names[:start]) == {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                                      "__file__"}, names
        print(names[start:])
        assert vorn.__doc__ is None and vorn.__builtins__ is builtins and vorn.sys is sys
        assert type(vorn.__all__) is list and vorn.__all__ == ["stringify", "parse"]
        assert vorn.HEX == "0123456789abcdef"
        assert vorn.ErrUnexpectedEndOfInput == "Unexpected end of input"
        assert vorn.UTF16_CODEC == {"little": "utf-16-le", "big": "utf-16-be"}[sys.byteorder]
        assert type(vorn.__test__) is dict and vorn.__test__ == {}
    """)
    assert eval(out) == GLOBALS


@pytest.mark.parametrize("order, codec", [
    ('"little"', "utf-16-le"), ('"big"', "utf-16-be"), ('"BIG"', "utf-16-le"), ("0", "utf-16-le"),
    # Anything but an exact string is compared with != and its truth decides.
    ("type('Same', (), {'__ne__': lambda s, o: False})()", "utf-16-be"),
    ("type('Other', (), {'__ne__': lambda s, o: 1})()", "utf-16-le"),
    ("type('S', (str,), {'__ne__': lambda s, o: False})('little')", "utf-16-be"),
])
def test_utf16_codec_follows_byteorder(order, codec):
    out = run_py(f"""
        import sys
        real = sys
        sys.modules["sys"] = type("FakeSys", (), {{"byteorder": {order}}})()
        try:
            import vorn
        finally:
            real.modules["sys"] = real
        print(vorn.UTF16_CODEC)
    """)
    assert out.strip() == codec


# --- Function objects ----------------------------------------------------------

FUNCTIONS = {
    "stringify": ("Serialize a 2D iterable of strings into a VORN string.", {"return": "str"}, 23,
                  "(lists) -> 'str'",
                  ("lists", "out", "v", "l_str", "u16_len", "i", "v_len", "kind", "buf", "l", "item")),
    "parse": ("Parse a VORN string into a 2D list of strings.", {"vorn": "str", "return": "list"}, 57,
              "(vorn: 'str') -> 'list'",
              ("vorn", "length", "kind", "out", "ls", "data", "i", "j", "n", "c", "char_start", "H_digits",
               "target_u16_len", "u16_accum", "char_idx", "u16_idx", "buf", "ch", "low_surrogate_code", "_")),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    doc, annotations, first_line, signature, varnames = FUNCTIONS[name]
    f = getattr(vorn, name)
    assert str(inspect.signature(f)) == signature
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (name, name, "vorn", doc)
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__globals__ is vars(vorn)
    assert f.__closure__ is None and f.__defaults__ is None and f.__kwdefaults__ is None
    code = f.__code__
    assert (code.co_firstlineno, code.co_argcount, code.co_nlocals) == (first_line, 1, len(varnames))
    assert code.co_varnames == varnames
    f.marker = 42
    try:
        assert f.__dict__ == {"marker": 42} and f.marker == 42
    finally:
        f.__dict__ = {}
    assert not hasattr(f, "marker")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_type_pickle_and_copy(name):
    f = getattr(vorn, name)
    with pytest.raises(TypeError):
        type(f)()
    assert type(f) is type(vorn.parse) and gc.is_tracked(f)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_binds_as_method_on_a_class():
    class Holder:
        f = vorn.parse
        g = vorn.stringify

    assert Holder.__dict__["f"].__get__(None, Holder) is vorn.parse and Holder.f is vorn.parse
    with pytest.raises(TypeError, match=r"^parse\(\) takes exactly 1 positional argument \(2 given\)$"):
        Holder().f("01a;")
    with pytest.raises(TypeError, match=r"^stringify\(\) takes exactly 1 positional argument \(2 given\)$"):
        Holder().g([])


def test_help_lists_functions_with_docstrings():
    text = pydoc.render_doc(vorn, renderer=pydoc.plaintext)
    for name, (doc, *_rest) in FUNCTIONS.items():
        assert name in text and doc in text


# --- Import, re-import and refusals (fresh processes) -----------------------------

def test_reimport_and_reload_return_the_same_module():
    run_py("""
        import importlib, sys, vorn
        parse = vorn.parse
        vorn.HEX = "ABCDEFGHIJKLMNOP"
        del sys.modules["vorn"]
        import vorn as again
        assert again is vorn and vorn.HEX == "ABCDEFGHIJKLMNOP" and vorn.parse is parse
        assert importlib.reload(vorn) is vorn and vorn.HEX == "ABCDEFGHIJKLMNOP" and vorn.parse is parse
        assert vorn.stringify([["a" * 10]]) == "B10aaaaaaaaaa;"
    """)


def test_second_module_object_is_refused():
    run_py("""
        import importlib.util, sys, traceback
        found = importlib.util.find_spec("vorn")
        first, second = importlib.util.module_from_spec(found), importlib.util.module_from_spec(found)
        found.loader.exec_module(first)
        try:
            found.loader.exec_module(second)
        except RuntimeError as e:
            assert str(e) == "Module 'vorn' has already been imported. Re-initialisation is not supported."
            assert "init vorn" not in [f.name for f in traceback.extract_tb(e.__traceback__)]
        else:
            raise AssertionError("second execution accepted")
        assert "parse" not in vars(second)
        import vorn
        assert vorn is first and vorn.parse("01a;") == [["a"]]
    """)


@pytest.mark.parametrize("first_import_fails", [False, True])
def test_subinterpreter_is_refused(first_import_fails):
    pytest.importorskip("_interpreters", reason="no low-level subinterpreter support in this build")
    out = run_py(f"""
        import sys, _interpreters
        real = sys
        if {first_import_fails}:
            sys.modules["sys"] = object()
            try:
                import vorn
            except AttributeError:
                pass
            finally:
                real.modules["sys"] = real
        else:
            import vorn
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        try:
            info = _interpreters.exec(iid, "import vorn")
        finally:
            _interpreters.destroy(iid)
        print(info.type.__name__)
        print(info.msg)
    """)
    assert out.splitlines() == ["ImportError", REFUSED_INTERPRETER]


def test_no_warning_on_this_interpreter():
    run_py("import vorn", flags=("-W", "error"))


@pytest.mark.parametrize("placeholder", [False, True])
def test_import_as_submodule(pkg_root, placeholder):
    run_py(f"""
        import os, sys
        assert "vorn" not in sys.modules
        sys.path.insert(0, sys.argv[1])
        placeholder = object()
        if {placeholder}:
            sys.modules["vorn"] = placeholder
        import pkg.vorn as m
        assert m.__name__ == "pkg.vorn" and m.__package__ == "pkg"
        assert os.path.dirname(m.__file__) == os.path.join(sys.argv[1], "pkg")
        assert m.parse.__module__ == m.stringify.__module__ == "vorn"
        assert sys.modules["pkg.vorn"] is m
        assert sys.modules["vorn"] is (placeholder if {placeholder} else m)
        assert m.parse("01a;") == [["a"]]
    """, pkg_root)


# A failing execution step: sys.modules["sys"] is replaced by an object whose
# byteorder is missing, whose comparison with "big" raises, or whose comparison
# result has no truth value.
FAILING_SYS = {
    "missing byteorder": "type('NoOrder', (), {})()",
    "comparison raises": "type('F', (), {'byteorder': type('Ne', (), {'__ne__': None})()})()",
    "truth raises": "type('F', (), {'byteorder': type('Ne', (), {'__ne__': lambda s, o: "
                    "type('T', (), {'__bool__': None})()})()})()",
}


@pytest.mark.parametrize("name", ["vorn", "pkg.vorn"])
@pytest.mark.parametrize("fake", FAILING_SYS.values(), ids=FAILING_SYS.keys())
def test_failed_execution_reports_and_recovers(pkg_root, name, fake):
    run_py(f"""
        import importlib, sys, traceback
        sys.path.insert(0, sys.argv[1])
        real = sys
        for attempt in range(2):
            sys.modules["sys"] = {fake}
            try:
                importlib.import_module({name!r})
            except (AttributeError, TypeError) as e:
                last = traceback.extract_tb(e.__traceback__)[-1]
            else:
                raise AssertionError("import succeeded")
            finally:
                real.modules["sys"] = real
            assert (last.name, last.lineno) == ("init vorn", 20), last
            assert "vorn" not in sys.modules and {name!r} not in sys.modules
        m = importlib.import_module({name!r})
        assert m.sys is real and m.UTF16_CODEC.startswith("utf-16-")
        assert m.parse("01a;") == [["a"]] and m.stringify([["a"]]) == "01a;"
        assert sys.modules["vorn"] is m and m.parse.__globals__ is vars(m)
    """, pkg_root)
