"""How calls to parse and stringify bind their one argument, and how they fail."""
import ctypes
import functools
import traceback
from ctypes import c_size_t, c_void_p, py_object

import pytest

import vorn

PARSE_ENTRY = [("vorn.parse", 57)]
STRINGIFY_ENTRY = [("vorn.stringify", 23)]
CALL = type(vorn.parse).__call__  # the type's classic call slot

_call = ctypes.PYFUNCTYPE(py_object, py_object, py_object, py_object)(("PyObject_Call", ctypes.pythonapi))
_vectorcall = ctypes.PYFUNCTYPE(py_object, py_object, c_void_p, c_size_t, py_object)(
    ("PyObject_Vectorcall", ctypes.pythonapi))
OFFSET_FLAG = 1 << (8 * ctypes.sizeof(c_size_t) - 1)
NULL = py_object()


def vectorcall(f, values, kwnames=NULL, offset=False):
    """Vector call from C: values holds the positionals, then one value per name."""
    slots = (py_object * (len(values) + 1))(None, *values)  # slot 0 is free for the offset flag
    nargs = len(values) - (len(kwnames) if kwnames else 0)
    base = ctypes.addressof(slots) + ctypes.sizeof(py_object)
    return _vectorcall(f, base, nargs | (OFFSET_FLAG if offset else 0), kwnames)


def fail(exc, f, *args, **kwargs):
    """Calls f, expecting exc; returns it and the traceback entries added outside this file."""
    with pytest.raises(exc) as info:
        f(*args, **kwargs)
    added = [(t.name, t.lineno) for t in traceback.extract_tb(info.value.__traceback__) if t.filename != __file__]
    return info.value, added


class Sub(str):
    pass


class RaisingEq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise ZeroDivisionError("eq")


class EqualsAll(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


class Holder:
    parse = vorn.parse


def count(name, n):
    return f"{name}() takes exactly 1 positional argument ({n} given)"


runtime = "".join


@pytest.mark.parametrize("call, expected", [
    (lambda: vorn.parse("01a;"), [["a"]]),
    (lambda: vorn.parse(vorn="01a;"), [["a"]]),
    (lambda: vorn.parse(**{runtime(["vo", "rn"]): "01a;"}), [["a"]]),
    (lambda: vorn.parse(**{Sub("vorn"): "01a;"}), [["a"]]),
    (lambda: vorn.parse(**{EqualsAll("other"): "01a;"}), [["a"]]),  # subclasses compare by their own __eq__
    (lambda: vorn.stringify([["a"]]), "01a;"),
    (lambda: vorn.stringify(lists=[["a"]]), "01a;"),
    (lambda: vorn.stringify(**{runtime(["li", "sts"]): [["a"]]}), "01a;"),
    (lambda: functools.partial(vorn.parse)("01a;"), [["a"]]),
    (lambda: list(map(vorn.parse, [";", "01a;"])), [[[]], [["a"]]]),
    (lambda: CALL(vorn.parse, "01a;"), [["a"]]),
    (lambda: CALL(vorn.parse, vorn="01a;"), [["a"]]),
    (lambda: _call(vorn.parse, ("01a;",), {}), [["a"]]),
    (lambda: _call(vorn.parse, (), {"vorn": "01a;"}), [["a"]]),
    (lambda: _call(CALL, (vorn.parse,), {runtime(["vo", "rn"]): "01a;"}), [["a"]]),
    (lambda: vectorcall(vorn.parse, ["01a;"], ()), [["a"]]),
    (lambda: vectorcall(vorn.parse, ["01a;"], offset=True), [["a"]]),
    (lambda: vectorcall(vorn.stringify, [[["a"]]], (runtime(["li", "sts"]),)), "01a;"),
])
def test_accepted_call_forms(call, expected):
    assert call() == expected


@pytest.mark.parametrize("f, args, kwargs, message, entry", [
    (vorn.parse, (), {}, count("parse", 0), PARSE_ENTRY),
    (vorn.parse, (";", ";"), {}, count("parse", 2), PARSE_ENTRY),
    (vorn.parse, (";", ";", ";"), {}, count("parse", 3), PARSE_ENTRY),
    (vorn.parse, (";", ";"), {"vorn": ";"}, count("parse", 2), PARSE_ENTRY),
    (vorn.parse, (";", ";"), {"bogus": 1}, count("parse", 2), PARSE_ENTRY),
    (vorn.stringify, (), {}, count("stringify", 0), STRINGIFY_ENTRY),
    (vorn.stringify, ((), ()), {"lists": ()}, count("stringify", 2), STRINGIFY_ENTRY),
    (Holder().parse, (";",), {}, count("parse", 2), PARSE_ENTRY),
    (CALL, (vorn.parse,), {}, count("parse", 0), PARSE_ENTRY),
    (vectorcall, (vorn.parse, [], ()), {}, count("parse", 0), PARSE_ENTRY),
    (vectorcall, (vorn.stringify, [(), (), ()], (5,)), {}, count("stringify", 2), STRINGIFY_ENTRY),
    (vorn.parse, (";",), {"vorn": ";"}, "parse() got multiple values for keyword argument 'vorn'", PARSE_ENTRY),
    (vorn.parse, (";",), {Sub("vorn"): ";"}, "parse() got multiple values for keyword argument 'vorn'",
     PARSE_ENTRY),
    (CALL, (vorn.parse, ";"), {"vorn": ";"}, "parse() got multiple values for keyword argument 'vorn'",
     PARSE_ENTRY),
    (vorn.stringify, ((),), {"lists": ()}, "stringify() got multiple values for keyword argument 'lists'",
     STRINGIFY_ENTRY),
    (vorn.stringify, (), {"data": ()}, "stringify() got an unexpected keyword argument 'data'", STRINGIFY_ENTRY),
    (vorn.stringify, (), {"data": 1, "other": 2}, "stringify() got an unexpected keyword argument 'data'",
     STRINGIFY_ENTRY),
    (vorn.stringify, (), {"other": 2, "data": 1}, "stringify() got an unexpected keyword argument 'other'",
     STRINGIFY_ENTRY),
    (vorn.parse, (), {"vorn": ";", "extra": 1}, "parse() got an unexpected keyword argument 'extra'", PARSE_ENTRY),
    (vorn.parse, (), {"extra": 1, "vorn": ";"}, "parse() got an unexpected keyword argument 'extra'", PARSE_ENTRY),
    (vorn.parse, (";",), {"extra": 1}, "parse() got an unexpected keyword argument 'extra'", PARSE_ENTRY),
    (vorn.parse, (), {"VORN": ";"}, "parse() got an unexpected keyword argument 'VORN'", PARSE_ENTRY),
    (vorn.parse, (), {Sub("zz"): ";"}, "parse() got an unexpected keyword argument 'zz'", PARSE_ENTRY),
    (vectorcall, (vorn.parse, [";"], (5,)), {}, "parse() keywords must be strings", PARSE_ENTRY),
    (vectorcall, (vorn.parse, [";", ";"], (b"vorn",)), {}, "parse() keywords must be strings", PARSE_ENTRY),
    (vectorcall, (vorn.parse, [";", ";"], (5, "zz")), {}, "parse() keywords must be strings", PARSE_ENTRY),
    (vectorcall, (vorn.parse, [";", ";"], ("zz", 5)), {}, "parse() got an unexpected keyword argument 'zz'",
     PARSE_ENTRY),
])
def test_binding_errors(f, args, kwargs, message, entry):
    e, added = fail(TypeError, f, *args, **kwargs)
    assert str(e) == message
    assert added == entry


def test_keyword_equality_error_propagates():
    e, added = fail(ZeroDivisionError, lambda: vorn.parse(**{RaisingEq("vorn"): ";"}))
    assert str(e) == "eq"
    assert added == PARSE_ENTRY


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("arg, type_name", [(None, "NoneType"), (b";", "bytes"), (5, "int"), (Sub(";"), "Sub")])
def test_parse_argument_type(arg, type_name, by_keyword):
    e, added = fail(TypeError, vorn.parse, **{"vorn": arg}) if by_keyword else fail(TypeError, vorn.parse, arg)
    assert str(e) == f"Argument 'vorn' has incorrect type (expected str, got {type_name})"
    assert added == []
    if isinstance(arg, str):
        assert len(e.__notes__) == 1 and isinstance(e.__notes__[0], str) and e.__notes__[0]
    else:
        assert not hasattr(e, "__notes__")


@pytest.mark.parametrize("exc, f, arg, name", [
    (SyntaxError, vorn.parse, "", "vorn.parse"),
    (SyntaxError, vorn.parse, "x", "vorn.parse"),
    (TypeError, vorn.stringify, 5, "vorn.stringify"),
    (TypeError, vorn.stringify, [5], "vorn.stringify"),
])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_body_errors_add_one_entry(exc, f, arg, name, by_keyword):
    _, added = fail(exc, f, **{f.__code__.co_varnames[0]: arg}) if by_keyword else fail(exc, f, arg)
    assert [n for n, _ in added] == [name]


# PyObject_Call on the function unpacks the dict in the interpreter; through the
# slot wrapper the dict reaches the type's own call slot unchanged.
@pytest.mark.parametrize("target, prefix", [(vorn.parse, ()), (CALL, (vorn.parse,)), (vorn.parse.__call__, ())])
@pytest.mark.parametrize("args, kwargs", [
    ((), {1: 2}),
    ((";",), {"vorn": ";", 1: 2}),
    ((), {"vorn": ";", b"k": 2}),
    ((";", ";"), {1: 2, "vorn": ";"}),
    ((), {RaisingEq("vorn"): ";", 1: 2}),  # keys are all checked before any is compared
])
def test_classic_call_rejects_non_string_keys(target, prefix, args, kwargs):
    e, _ = fail(TypeError, _call, target, prefix + args, kwargs)
    assert str(e) == "keywords must be strings"


@pytest.mark.parametrize("target, prefix", [(vorn.parse, ()), (CALL, (vorn.parse,))])
def test_classic_call_empty_dict_is_no_dict(target, prefix):
    assert _call(target, prefix + (";",), {}) == _call(target, prefix + (";",), NULL) == [[]]
    for kwargs in ({}, NULL):
        e, added = fail(TypeError, _call, target, prefix, kwargs)
        assert str(e) == count("parse", 0) and added == PARSE_ENTRY
