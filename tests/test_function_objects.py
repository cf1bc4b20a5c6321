"""The module's function objects as the host's tools see them: attributes,
signatures, coroutine-function detection, descriptors, pickling and help()."""

from __future__ import annotations

import asyncio
import asyncio.coroutines
import copy
import dataclasses
import inspect
import io
import pickle
import pydoc
import types
import warnings
import weakref

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

SOURCE = "zorvic/core/worker_pool.py"


def id_factory():
    return next(f for f in dataclasses.fields(WorkerTask) if f.name == "id").default_factory


GETTERS = {
    "WorkerTask.<lambda>": id_factory,
    "WorkerPool.max_workers.fget": lambda: WorkerPool.max_workers.fget,
    "WorkerPool.max_workers.fset": lambda: WorkerPool.max_workers.fset,
}


def fetch(key: str):
    if key in GETTERS:
        return GETTERS[key]()
    owner, name = key.split(".")
    return wp.__dict__[owner].__dict__[name]


# (lookup key, qualname, def line, parameters, __defaults__, annotations, async, first doc line)
TABLE = [
    ("WorkerTask.<lambda>", "WorkerTask.<lambda>", 45, (), None, {}, False, None),
    ("WorkerTask.to_dict", "WorkerTask.to_dict", 56, ("self",), None, {"return": "dict[str, Any]"}, False, None),
    ("WorkerStatus.to_dict", "WorkerStatus.to_dict", 87, ("self",), None, {"return": "dict[str, Any]"}, False, None),
    (
        "WorkerPool.__init__",
        "WorkerPool.__init__",
        130,
        ("self", "max_workers", "executor", "on_status_change"),
        (3, None, None),
        {
            "max_workers": "int",
            "executor": "WorkerExecutor | None",
            "on_status_change": "Callable[[WorkerStatus], Awaitable[None]] | None",
        },
        False,
        None,
    ),
    ("WorkerPool.max_workers.fget", "WorkerPool.max_workers", 156, ("self",), None, {"return": "int"}, False, None),
    (
        "WorkerPool.max_workers.fset",
        "WorkerPool.max_workers",
        160,
        ("self", "value"),
        None,
        {"value": "int", "return": "None"},
        False,
        None,
    ),
    (
        "WorkerPool.set_executor",
        "WorkerPool.set_executor",
        167,
        ("self", "executor"),
        None,
        {"executor": "WorkerExecutor", "return": "None"},
        False,
        "Set the worker executor function (called after init when agent is ready).",
    ),
    (
        "WorkerPool.submit",
        "WorkerPool.submit",
        171,
        ("self", "task"),
        None,
        {"task": "WorkerTask", "return": "WorkerStatus"},
        True,
        "Submit a task for execution. Returns immediately with queued status.",
    ),
    (
        "WorkerPool.submit_many",
        "WorkerPool.submit_many",
        200,
        ("self", "tasks"),
        None,
        {"tasks": "list[WorkerTask]", "return": "list[WorkerStatus]"},
        True,
        "Submit multiple tasks at once.",
    ),
    (
        "WorkerPool.cancel",
        "WorkerPool.cancel",
        204,
        ("self", "task_id"),
        None,
        {"task_id": "str", "return": "bool"},
        True,
        "Cancel a running or queued worker.",
    ),
    (
        "WorkerPool.cancel_all",
        "WorkerPool.cancel_all",
        218,
        ("self",),
        None,
        {"return": "int"},
        True,
        "Cancel all active workers. Returns count of cancelled tasks.",
    ),
    (
        "WorkerPool.get_status",
        "WorkerPool.get_status",
        226,
        ("self", "task_id"),
        None,
        {"task_id": "str", "return": "WorkerStatus | None"},
        False,
        "Get the status of a specific worker.",
    ),
    (
        "WorkerPool.list_active",
        "WorkerPool.list_active",
        235,
        ("self",),
        None,
        {"return": "list[dict[str, Any]]"},
        False,
        "List all active (queued + running) workers.",
    ),
    (
        "WorkerPool.list_running",
        "WorkerPool.list_running",
        239,
        ("self",),
        None,
        {"return": "list[dict[str, Any]]"},
        False,
        "List only running workers.",
    ),
    (
        "WorkerPool.list_queued",
        "WorkerPool.list_queued",
        243,
        ("self",),
        None,
        {"return": "list[dict[str, Any]]"},
        False,
        "List only queued workers.",
    ),
    (
        "WorkerPool.list_completed",
        "WorkerPool.list_completed",
        247,
        ("self", "limit"),
        (50,),
        {"limit": "int", "return": "list[dict[str, Any]]"},
        False,
        "List recently completed workers.",
    ),
    (
        "WorkerPool.list_all",
        "WorkerPool.list_all",
        251,
        ("self",),
        None,
        {"return": "list[dict[str, Any]]"},
        False,
        "List all workers (active + recent completed).",
    ),
    (
        "WorkerPool.stats",
        "WorkerPool.stats",
        257,
        ("self",),
        None,
        {"return": "dict[str, Any]"},
        False,
        "Get pool statistics.",
    ),
    (
        "WorkerPool.wait_for",
        "WorkerPool.wait_for",
        277,
        ("self", "task_id", "timeout"),
        (300.0,),
        {"task_id": "str", "timeout": "float", "return": "WorkerStatus | None"},
        True,
        "Wait for a specific worker to complete by polling status.",
    ),
    (
        "WorkerPool.wait_all",
        "WorkerPool.wait_all",
        302,
        ("self", "task_ids", "timeout"),
        (None, 600.0),
        {"task_ids": "list[str] | None", "timeout": "float", "return": "list[WorkerStatus]"},
        True,
        "Wait for multiple workers to complete by polling status.",
    ),
    (
        "WorkerPool.cleanup",
        "WorkerPool.cleanup",
        323,
        ("self",),
        None,
        {"return": "None"},
        True,
        "Cancel all workers and clean up.",
    ),
    (
        "WorkerPool._run_worker",
        "WorkerPool._run_worker",
        332,
        ("self", "task"),
        None,
        {"task": "WorkerTask", "return": "None"},
        True,
        "Execute a worker task with concurrency control.",
    ),
    (
        "WorkerPool._update_status",
        "WorkerPool._update_status",
        409,
        ("self", "status"),
        None,
        {"status": "WorkerStatus", "return": "None"},
        True,
        "Callback for workers to report status updates.",
    ),
    (
        "WorkerPool._move_to_completed",
        "WorkerPool._move_to_completed",
        416,
        ("self", "task_id"),
        None,
        {"task_id": "str", "return": "None"},
        False,
        "Move a worker from active to completed history.",
    ),
]
ASYNC_KEYS = {row[0] for row in TABLE if row[6]}
PICKLABLE = [row[0] for row in TABLE if row[0] not in GETTERS]


@pytest.fixture
def restore():
    """Puts back every attribute a test replaces on a shared function object."""
    saved = []

    def remember(func, *names):
        for name in names:
            saved.append((func, name, getattr(func, name)))
        return func

    yield remember
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for func, name, value in reversed(saved):
            setattr(func, name, value)


# ---------------------------------------------------------------- the type


def test_one_function_type_for_every_operation():
    types_seen = {type(fetch(row[0])) for row in TABLE}
    assert len(types_seen) == 1
    (ftype,) = types_seen
    assert ftype is not types.FunctionType and ftype is not types.BuiltinFunctionType
    with pytest.raises(TypeError):
        ftype()
    with pytest.raises(TypeError):

        class Sub(ftype):
            pass


def test_repr_shows_qualified_name_and_address():
    f = WorkerPool.get_status
    assert repr(f) == f"<zorvic function WorkerPool.get_status at {hex(id(f))}>"
    f2 = id_factory()
    assert repr(f2).startswith("<zorvic function WorkerTask.<lambda> at 0x")


def test_weak_references():
    f = WorkerPool.stats
    assert weakref.ref(f)() is f


# ---------------------------------------------------------------- attributes


@pytest.mark.parametrize("row", TABLE, ids=[row[0] for row in TABLE])
def test_attributes(row):
    key, qualname, line, params, defaults, annotations, is_async, doc = row
    f = fetch(key)
    name = qualname.rsplit(".", 1)[1]
    assert (f.__name__, f.func_name) == (name, name)
    assert f.__qualname__ == qualname
    assert f.__module__ == "zorvic.core.worker_pool"
    if doc is None:
        assert f.__doc__ is None
    else:
        assert f.__doc__.split("\n")[0] == doc
    assert f.func_doc is f.__doc__
    assert f.__globals__ is wp.__dict__ and f.func_globals is wp.__dict__
    assert f.__closure__ is None and f.func_closure is None
    assert f.__defaults__ == defaults and f.func_defaults == defaults
    assert f.__kwdefaults__ is None
    assert f.__annotations__ == annotations
    assert list(f.__annotations__) == list(annotations)  # parameter order, "return" last
    assert isinstance(f.__dict__, dict) and f.func_dict is f.__dict__

    code = f.__code__
    assert code is f.func_code
    assert (code.co_name, code.co_qualname) == (name, qualname)
    assert code.co_filename == SOURCE
    assert code.co_firstlineno == line
    assert code.co_argcount == len(params)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames[: len(params)] == params
    assert bool(code.co_flags & inspect.CO_COROUTINE) is is_async
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_GENERATOR)


def test_coroutine_shares_the_function_code():
    coro = WorkerPool().cleanup()
    try:
        assert coro.cr_code is WorkerPool.cleanup.__code__
    finally:
        coro.close()


# ---------------------------------------------------------------- setting attributes


@pytest.mark.parametrize(
    ("attr", "value", "message"),
    [
        ("__name__", 5, "__name__ must be set to a string object"),
        ("__qualname__", b"x", "__qualname__ must be set to a string object"),
        ("__defaults__", [50], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [("limit", "int")], "__annotations__ must be set to a dict object"),
    ],
)
def test_bad_assignments(attr, value, message):
    f = WorkerPool.list_completed
    before = getattr(f, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a rejected value issues no warning either
        with pytest.raises(TypeError) as info:
            setattr(f, attr, value)
    assert str(info.value) == message
    assert getattr(f, attr) == before


def test_deleting_the_name_is_refused():
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        del WorkerPool.stats.__name__
    assert WorkerPool.stats.__name__ == "stats"


@pytest.mark.parametrize("attr", ["__globals__", "__code__", "__closure__", "func_code"])
def test_read_only_attributes(attr):
    with pytest.raises(AttributeError):
        setattr(WorkerPool.stats, attr, None)


def test_settable_names_doc_module_and_dict(restore):
    f = restore(WorkerPool.list_all, "__name__", "__qualname__", "__doc__", "__module__")

    class Name(str):
        pass

    f.__name__ = Name("renamed")
    f.__qualname__ = "Elsewhere.renamed"
    f.__doc__ = 42
    f.__module__ = None
    assert (f.__name__, f.__qualname__, f.__doc__, f.__module__) == ("renamed", "Elsewhere.renamed", 42, None)
    assert repr(f).startswith("<zorvic function Elsewhere.renamed at ")
    # binding messages keep naming the operation itself
    with pytest.raises(TypeError, match=r"^list_all\(\) takes exactly 1 positional argument \(2 given\)$"):
        f(1, 2)

    f.marker = "kept"
    assert f.__dict__["marker"] == "kept" and f.func_dict["marker"] == "kept"
    del f.marker
    assert "marker" not in f.__dict__


def test_replacing_defaults_warns_and_changes_nothing(restore):
    listing = restore(WorkerPool.list_completed, "__defaults__")
    init = restore(WorkerPool.__init__, "__defaults__", "__kwdefaults__")
    pool = WorkerPool()
    pool._completed.extend(WorkerStatus(task_id=str(n), state=WorkerState.COMPLETED) for n in range(60))
    with pytest.warns(RuntimeWarning) as record:
        listing.__defaults__ = (10,)
    assert len(record) == 1
    assert listing.__defaults__ == (10,)
    assert str(inspect.signature(listing)).startswith("(self, limit: 'int' = 10)")
    assert len(pool.list_completed()) == 50

    with pytest.warns(RuntimeWarning):
        init.__defaults__ = None
    assert init.__defaults__ is None
    assert WorkerPool()._max_workers == 3

    with pytest.warns(RuntimeWarning):
        init.__kwdefaults__ = {"max_workers": 9}
    assert init.__kwdefaults__ == {"max_workers": 9}
    assert WorkerPool()._max_workers == 3
    with pytest.warns(RuntimeWarning):
        init.__kwdefaults__ = None
    assert init.__kwdefaults__ is None


def test_defaults_warning_as_error_keeps_the_old_value():
    f = WorkerPool.list_completed
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            f.__defaults__ = (1,)
    assert f.__defaults__ == (50,)


def test_annotations_replaced_by_none_read_as_new_empty_dicts(restore):
    f = restore(WorkerPool.get_status, "__annotations__")
    f.__annotations__ = None
    first, second = f.__annotations__, f.__annotations__
    assert first == {} and second == {} and first is not second
    first["x"] = "y"
    assert f.__annotations__ == {}
    assert str(inspect.signature(f)) == "(self, task_id)"

    mine = {"task_id": "Any"}
    f.__annotations__ = mine
    assert f.__annotations__ is mine


# ---------------------------------------------------------------- the host's tools


def expected_signature(params, defaults, annotations):
    first_default = len(params) - len(defaults or ())
    empty = inspect.Parameter.empty
    return inspect.Signature(
        [
            inspect.Parameter(
                name,
                inspect.Parameter.POSITIONAL_OR_KEYWORD,
                default=defaults[i - first_default] if i >= first_default else empty,
                annotation=annotations.get(name, empty),
            )
            for i, name in enumerate(params)
        ],
        return_annotation=annotations.get("return", inspect.Signature.empty),
    )


@pytest.mark.parametrize("row", TABLE, ids=[row[0] for row in TABLE])
def test_inspect_signature(row):
    key, _, _, params, defaults, annotations, _, _ = row
    assert inspect.signature(fetch(key)) == expected_signature(params, defaults, annotations)


def test_signature_texts_and_bound_methods():
    pool = WorkerPool()
    assert str(inspect.signature(WorkerPool.wait_all)) == (
        "(self, task_ids: 'list[str] | None' = None, timeout: 'float' = 600.0) -> 'list[WorkerStatus]'"
    )
    assert str(inspect.signature(pool.wait_for)) == (
        "(task_id: 'str', timeout: 'float' = 300.0) -> 'WorkerStatus | None'"
    )
    assert str(inspect.signature(WorkerPool)) == (
        "(max_workers: 'int' = 3, executor: 'WorkerExecutor | None' = None, "
        "on_status_change: 'Callable[[WorkerStatus], Awaitable[None]] | None' = None)"
    )


@pytest.mark.parametrize("row", TABLE, ids=[row[0] for row in TABLE])
def test_coroutine_function_detection(row):
    key, is_async = row[0], row[6]
    f = fetch(key)
    assert inspect.iscoroutinefunction(f) is is_async
    assert asyncio.iscoroutinefunction(f) is is_async
    assert not inspect.isgeneratorfunction(f)
    assert inspect.isroutine(f)
    if is_async:
        assert f._is_coroutine is asyncio.coroutines._is_coroutine
        assert f._is_coroutine is f._is_coroutine
    else:
        assert f._is_coroutine is False


@pytest.mark.parametrize("name", ["submit", "get_status"])
def test_bound_methods(name):
    pool = WorkerPool()
    f = WorkerPool.__dict__[name]
    method = getattr(pool, name)
    assert isinstance(method, types.MethodType)
    assert method.__func__ is f and method.__self__ is pool
    assert f.__get__(None, WorkerPool) is f and getattr(WorkerPool, name) is f
    assert asyncio.iscoroutinefunction(method) is (name == "submit")
    assert inspect.iscoroutinefunction(method) is (name == "submit")


@pytest.mark.parametrize("key", PICKLABLE)
def test_pickle_round_trip_is_identity(key):
    f = fetch(key)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_help_lists_members_with_docstrings():
    out = io.StringIO()
    pydoc.Helper(output=out).help(WorkerPool)
    text = out.getvalue()
    assert "Manages a pool of concurrent agent workers." in text
    for key, qualname, _, _, _, _, is_async, doc in TABLE:
        name = qualname.split(".")[1]
        # pydoc leaves out the private members
        if not key.startswith("WorkerPool.") or key in GETTERS or (name.startswith("_") and name != "__init__"):
            continue
        # a method's heading line (long signatures continue on the next lines)
        head = f"\n |  {'async ' if is_async else ''}{name}("
        assert head in text, head
        if doc:
            assert text.index(doc) > text.index(head)
    assert "max_workers" in text
    # a routine, listed among the methods, not as data
    assert "get_status = <zorvic function" not in text
