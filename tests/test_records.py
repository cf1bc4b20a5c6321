"""The worker records: WorkerState, WorkerTask, WorkerStatus and their dict forms."""

import builtins
import dataclasses
import enum
import re
import time
import traceback
import types

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerState, WorkerStatus, WorkerTask

TASK_FIELDS = [
    ("id", "str"),
    ("name", "str"),
    ("prompt", "str"),
    ("model_key", "str | None"),
    ("complexity", "str | None"),
    ("timeout", "float"),
    ("tools", "list[str] | None"),
    ("parent_task_id", "str | None"),
    ("metadata", "dict[str, Any]"),
    ("created_at", "float"),
]
STATUS_FIELDS = [
    ("task_id", "str"),
    ("state", "WorkerState"),
    ("name", "str"),
    ("model_used", "str"),
    ("current_step", "str"),
    ("steps_completed", "int"),
    ("progress_pct", "float"),
    ("result", "str | None"),
    ("error", "str | None"),
    ("started_at", "float"),
    ("completed_at", "float"),
    ("duration", "float"),
]
TASK_KEYS = [name for name, _ in TASK_FIELDS]
STATUS_KEYS = [name for name, _ in STATUS_FIELDS]


def module_entry(excinfo):
    """The innermost traceback entry that belongs to the module."""
    entries = [e for e in traceback.extract_tb(excinfo.tb) if e.filename.endswith("worker_pool.py")]
    assert entries, "no traceback entry for the module"
    return entries[-1].name, entries[-1].lineno


def task_like(**overrides):
    values = dict(
        id="t1",
        name="n",
        prompt="p",
        model_key=None,
        complexity=None,
        timeout=1.0,
        tools=None,
        parent_task_id=None,
        metadata={},
        created_at=0.0,
    )
    values.update(overrides)
    return types.SimpleNamespace(**values)


def status_like(**overrides):
    values = dict(
        task_id="t1",
        state=WorkerState.RUNNING,
        name="",
        model_used="",
        current_step="",
        steps_completed=0,
        progress_pct=0.0,
        result=None,
        error=None,
        started_at=0.0,
        completed_at=0.0,
        duration=0.0,
    )
    values.update(overrides)
    return types.SimpleNamespace(**values)


class Recorder:
    """Records every attribute read, in order."""

    def __init__(self, **values):
        object.__setattr__(self, "_values", values)
        object.__setattr__(self, "reads", [])

    def __getattr__(self, name):
        values = object.__getattribute__(self, "_values")
        object.__getattribute__(self, "reads").append(name)
        return values[name]


# ---------------------------------------------------------------- WorkerState


class TestWorkerState:
    def test_class_shape(self):
        assert WorkerState.__bases__ == (str, enum.Enum)
        assert type(WorkerState) is enum.EnumType
        assert WorkerState.__module__ == "zorvic.core.worker_pool"
        assert WorkerState.__qualname__ == "WorkerState"

    def test_members_in_order(self):
        assert [(m.name, m.value) for m in WorkerState] == [
            ("QUEUED", "queued"),
            ("RUNNING", "running"),
            ("COMPLETED", "completed"),
            ("FAILED", "failed"),
            ("CANCELLED", "cancelled"),
            ("TIMEOUT", "timeout"),
        ]

    @pytest.mark.parametrize("member", list(WorkerState))
    def test_member_is_its_string(self, member):
        assert isinstance(member, str)
        assert member == member.value
        assert WorkerState(member.value) is member


# ---------------------------------------------------------------- dataclass shape


@pytest.mark.parametrize(
    "cls, doc, expected",
    [
        (WorkerTask, "A task to be executed by an agent worker.", TASK_FIELDS),
        (WorkerStatus, "Real-time status of a worker.", STATUS_FIELDS),
    ],
)
def test_dataclass_shape(cls, doc, expected):
    assert dataclasses.is_dataclass(cls)
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "zorvic.core.worker_pool"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ == doc
    assert list(cls.__annotations__.items()) == expected
    assert [(f.name, f.type) for f in dataclasses.fields(cls)] == expected
    params = cls.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.frozen) == (True, True, True, False, False)
    assert cls.__hash__ is None
    assert not hasattr(cls, "__slots__")


def test_task_defaults():
    before = time.time()
    a, b = WorkerTask(), WorkerTask()
    after = time.time()
    for task in (a, b):
        assert re.fullmatch(r"[0-9a-f]{12}", task.id)
        assert (task.name, task.prompt, task.model_key, task.complexity) == ("", "", None, None)
        assert task.timeout == 600.0 and type(task.timeout) is float
        assert (task.tools, task.parent_task_id, task.metadata) == (None, None, {})
        assert before <= task.created_at <= after
    assert a.id != b.id
    assert a.metadata is not b.metadata


def test_task_field_factories():
    fields = {f.name: f for f in dataclasses.fields(WorkerTask)}
    assert fields["metadata"].default_factory is dict
    assert fields["created_at"].default_factory is time.time
    factory = fields["id"].default_factory
    assert type(factory) is type(WorkerTask.to_dict)
    assert factory.__name__ == "<lambda>"
    assert factory.__qualname__ == "WorkerTask.<lambda>"
    assert factory.__doc__ is None
    assert factory.__annotations__ == {}
    assert factory.__code__.co_firstlineno == 45
    assert factory.__code__.co_argcount == 0
    assert fields["timeout"].default == 600.0
    assert fields["name"].default == ""


def test_status_requires_task_id_and_state():
    with pytest.raises(TypeError):
        WorkerStatus()
    with pytest.raises(TypeError):
        WorkerStatus("t1")


def test_status_repr_shows_defaults_in_order():
    s = WorkerStatus("t1", WorkerState.QUEUED)
    assert repr(s) == (
        "WorkerStatus(task_id='t1', state=<WorkerState.QUEUED: 'queued'>, name='', "
        "model_used='', current_step='', steps_completed=0, progress_pct=0.0, result=None, "
        "error=None, started_at=0.0, completed_at=0.0, duration=0.0)"
    )


@pytest.mark.parametrize(
    "make",
    [
        lambda: WorkerTask(id="x", created_at=1.0),
        lambda: WorkerStatus("x", WorkerState.RUNNING),
    ],
)
def test_equality_and_unhashable(make):
    a, b = make(), make()
    assert a == b and a is not b
    a.name = "changed"  # not frozen
    assert a != b
    with pytest.raises(TypeError):
        hash(b)
    with pytest.raises(TypeError):
        a < b  # noqa: B015 - no ordering methods


# ---------------------------------------------------------------- id factory

# Kept at module level: as a class attribute it would bind like a method.
ID_FACTORY = {f.name: f for f in dataclasses.fields(WorkerTask)}["id"].default_factory


class TestIdFactory:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1,), {}, "<lambda>() takes no arguments (1 given)"),
            ((1, 2), {}, "<lambda>() takes no arguments (2 given)"),
            ((), {"x": 1}, "<lambda>() takes no keyword arguments"),
        ],
    )
    def test_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            ID_FACTORY(*args, **kwargs)
        assert str(excinfo.value) == message
        assert module_entry(excinfo) == ("zorvic.core.worker_pool.WorkerTask.lambda", 45)

    def test_uuid_is_looked_up_at_each_call(self, monkeypatch):
        fake = types.SimpleNamespace(uuid4=lambda: types.SimpleNamespace(hex="0123456789abcdefXYZ"))
        monkeypatch.setattr(wp, "uuid", fake)
        assert ID_FACTORY() == "0123456789ab"
        assert WorkerTask().id == "0123456789ab"

    def test_uuid_falls_back_to_builtins(self, monkeypatch):
        monkeypatch.delattr(wp, "uuid")
        fake = types.SimpleNamespace(uuid4=lambda: types.SimpleNamespace(hex="fedcba9876543210"))
        monkeypatch.setattr(builtins, "uuid", fake, raising=False)
        assert ID_FACTORY() == "fedcba987654"

    def test_missing_uuid(self, monkeypatch):
        monkeypatch.delattr(wp, "uuid")
        with pytest.raises(NameError, match=r"^name 'uuid' is not defined$") as excinfo:
            WorkerTask()
        assert module_entry(excinfo) == ("zorvic.core.worker_pool.WorkerTask.lambda", 45)

    def test_unsliceable_hex(self, monkeypatch):
        fake = types.SimpleNamespace(uuid4=lambda: types.SimpleNamespace(hex=None))
        monkeypatch.setattr(wp, "uuid", fake)
        with pytest.raises(TypeError, match=r"^'NoneType' object is unsliceable$") as excinfo:
            ID_FACTORY()
        assert module_entry(excinfo) == ("zorvic.core.worker_pool.WorkerTask.lambda", 45)


# ---------------------------------------------------------------- to_dict


@pytest.mark.parametrize(
    "fn, qualname, line",
    [
        (WorkerTask.to_dict, "WorkerTask.to_dict", 56),
        (WorkerStatus.to_dict, "WorkerStatus.to_dict", 87),
    ],
)
def test_to_dict_function_objects(fn, qualname, line):
    assert fn.__qualname__ == qualname
    assert fn.__annotations__ == {"return": "dict[str, Any]"}
    assert fn.__doc__ is None and fn.__defaults__ is None
    assert fn.__code__.co_firstlineno == line
    assert fn.__code__.co_varnames[:1] == ("self",) and fn.__code__.co_argcount == 1
    with pytest.raises(TypeError) as excinfo:
        fn(object(), 1)
    assert str(excinfo.value) == "to_dict() takes exactly 1 positional argument (2 given)"
    assert module_entry(excinfo) == ("zorvic.core.worker_pool." + qualname, line)


def test_task_to_dict_values_are_the_task_objects():
    task = WorkerTask(
        id="abc",
        name="N",
        prompt="P",
        model_key="m",
        complexity="c",
        timeout=5,
        tools=["t"],
        parent_task_id="parent",
        metadata={"k": 1},
        created_at=3.5,
    )
    d = task.to_dict()
    assert list(d) == TASK_KEYS
    assert d == {
        "id": "abc",
        "name": "N",
        "prompt": "P",
        "model_key": "m",
        "complexity": "c",
        "timeout": 5,
        "tools": ["t"],
        "parent_task_id": "parent",
        "metadata": {"k": 1},
        "created_at": 3.5,
    }
    assert d["tools"] is task.tools and d["metadata"] is task.metadata
    d["tools"].append("u")
    d["metadata"]["x"] = 2
    assert task.tools == ["t", "u"] and task.metadata == {"k": 1, "x": 2}


def test_status_to_dict_of_a_new_record():
    d = WorkerStatus("t9", WorkerState.QUEUED).to_dict()
    assert list(d) == STATUS_KEYS
    assert list(d.values()) == ["t9", "queued", "", "", "", 0, 0.0, None, None, 0.0, 0.0, 0.0]
    assert type(d["state"]) is str


@pytest.mark.parametrize(
    "length, expected_length, ellipsis",
    [
        (0, 0, False),
        (199, 199, False),
        (200, 200, False),
        (201, 203, True),
        (1000, 203, True),
    ],
)
def test_prompt_truncation(length, expected_length, ellipsis):
    prompt = "".join(chr(ord("a") + i % 26) for i in range(length))
    out = WorkerTask(prompt=prompt).to_dict()["prompt"]
    assert len(out) == expected_length
    assert out == (prompt[:200] + "..." if ellipsis else prompt)


@pytest.mark.parametrize(
    "result, expected",
    [
        (None, None),
        ("", ""),
        ("x" * 500, "x" * 500),
        ("y" * 501, "y" * 500),
        ("z" * 900, "z" * 500),
    ],
)
def test_result_truncation(result, expected):
    assert WorkerStatus("t", WorkerState.COMPLETED, result=result).to_dict()["result"] == expected


@pytest.mark.parametrize(
    "progress, duration, expected_progress, expected_duration",
    [
        (33.333, 1.23456, 33.3, 1.23),
        (50, 2, 50, 2),
    ],
)
def test_rounding(progress, duration, expected_progress, expected_duration):
    d = WorkerStatus("t", WorkerState.RUNNING, progress_pct=progress, duration=duration).to_dict()
    assert d["progress_pct"] == expected_progress
    assert type(d["progress_pct"]) is type(expected_progress)
    assert d["duration"] == expected_duration
    assert type(d["duration"]) is type(expected_duration)


def test_round_is_fetched_once(monkeypatch):
    monkeypatch.setattr(builtins, "round", lambda *a: "patched")
    assert WorkerStatus("t", WorkerState.RUNNING, progress_pct=1.26).to_dict()["progress_pct"] == 1.3


def test_task_to_dict_evaluation_order():
    obj = Recorder(**vars(task_like(prompt="q" * 300)))
    d = WorkerTask.to_dict(obj)
    assert obj.reads == [
        "id",
        "name",
        "prompt",
        "prompt",
        "model_key",
        "complexity",
        "timeout",
        "tools",
        "parent_task_id",
        "metadata",
        "created_at",
    ]
    assert d["prompt"] == "q" * 200 + "..."


@pytest.mark.parametrize(
    "result, result_reads",
    [
        (None, 2),  # truth test, value
        ("", 2),
        ("r", 3),  # truth test, len, value
        ("r" * 600, 3),  # truth test, len, slice
    ],
)
def test_status_to_dict_evaluation_order(result, result_reads):
    obj = Recorder(**vars(status_like(result=result)))
    WorkerStatus.to_dict(obj)
    assert obj.reads == (
        ["task_id", "state", "name", "model_used", "current_step", "steps_completed", "progress_pct"]
        + ["result"] * result_reads
        + ["error", "started_at", "completed_at", "duration"]
    )


@pytest.mark.parametrize("index, key", list(enumerate(TASK_KEYS)))
def test_task_to_dict_line_per_key(index, key):
    obj = task_like()
    delattr(obj, key)
    with pytest.raises(AttributeError) as excinfo:
        WorkerTask.to_dict(obj)
    line = 58 if index == 0 else 58 + index
    assert module_entry(excinfo) == ("zorvic.core.worker_pool.WorkerTask.to_dict", line)


@pytest.mark.parametrize("index, key", list(enumerate(STATUS_KEYS)))
def test_status_to_dict_line_per_key(index, key):
    obj = status_like()
    delattr(obj, key)
    with pytest.raises(AttributeError) as excinfo:
        WorkerStatus.to_dict(obj)
    line = 89 if index == 0 else 89 + index
    assert module_entry(excinfo) == ("zorvic.core.worker_pool.WorkerStatus.to_dict", line)


class PromptWithoutLength:
    def __getitem__(self, key):
        return "head"


class Unsliceable:
    """Has a truth value and a length, but no subscript."""

    def __len__(self):
        return 600


@pytest.mark.parametrize(
    "make, field, exc, message, line",
    [
        (lambda: WorkerTask(prompt=None), None, TypeError, "'NoneType' object is unsliceable", 60),
        (lambda: task_like(prompt=Unsliceable()), "task", TypeError, "'Unsliceable' object is unsliceable", 60),
        (lambda: status_like(result=Unsliceable()), "status", TypeError, "'Unsliceable' object is unsliceable", 96),
        (
            lambda: task_like(prompt=PromptWithoutLength()),
            "task",
            TypeError,
            "object of type 'PromptWithoutLength' has no len()",
            60,
        ),
        (lambda: status_like(result=object()), "status", TypeError, "object of type 'object' has no len()", 96),
        (lambda: status_like(state="running"), "status", AttributeError, "'str' object has no attribute 'value'", 90),
        (lambda: status_like(progress_pct="x"), "status", TypeError, "type str doesn't define __round__ method", 95),
        (lambda: status_like(duration=None), "status", TypeError, "type NoneType doesn't define __round__ method", 100),
    ],
)
def test_to_dict_failures(make, field, exc, message, line):
    obj = make()
    fn = WorkerStatus.to_dict if field == "status" else WorkerTask.to_dict
    with pytest.raises(exc) as excinfo:
        fn(obj)
    assert str(excinfo.value) == message
    assert module_entry(excinfo)[1] == line


def test_prompt_suffix_uses_the_slice_add():
    class Head:
        def __add__(self, other):
            return ("added", other)

    class Prompt:
        def __getitem__(self, key):
            assert key == slice(None, 200)
            return Head()

        def __len__(self):
            return 201

    assert WorkerTask.to_dict(task_like(prompt=Prompt()))["prompt"] == ("added", "...")
