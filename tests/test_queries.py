"""Queries and statistics over pools in known states."""

from __future__ import annotations

import asyncio
import gc
import traceback
import types
from collections.abc import Mapping

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

STATS_KEYS = [
    "max_workers",
    "active_count",
    "queued_count",
    "total_submitted",
    "total_completed",
    "total_failed",
    "completed_history",
]


class Gates:
    """An executor whose workers run until their own gate opens."""

    def __init__(self) -> None:
        self.events: dict[str, asyncio.Event] = {}

    def gate(self, task_id: str) -> asyncio.Event:
        return self.events.setdefault(task_id, asyncio.Event())

    def open(self, task_id: str) -> None:
        self.gate(task_id).set()

    def open_all(self) -> None:
        for event in self.events.values():
            event.set()

    async def __call__(self, task, update, *, deadline):
        await self.gate(task.id).wait()
        return "done " + task.id


async def settle(rounds: int = 20) -> None:
    for _ in range(rounds):
        await asyncio.sleep(0)


def status(task_id: str, state: WorkerState = WorkerState.COMPLETED) -> WorkerStatus:
    return WorkerStatus(task_id=task_id, state=state)


class Record:
    """The least a record needs for the queries: task_id, state, to_dict()."""

    def __init__(self, task_id, state=WorkerState.RUNNING, on_to_dict=None):
        self.task_id = task_id
        self.state = state
        self.on_to_dict = on_to_dict

    def to_dict(self):
        if self.on_to_dict:
            self.on_to_dict()
        return {"task_id": self.task_id}


def ids_of(dicts):
    return [d["task_id"] for d in dicts]


# ---------------------------------------------------------------- a new pool


def test_new_pool_is_empty():
    pool = WorkerPool()
    assert pool.list_active() == []
    assert pool.list_running() == []
    assert pool.list_queued() == []
    assert pool.list_completed() == []
    assert pool.list_all() == []
    assert pool.get_status("abc") is None
    stats = pool.stats()
    assert list(stats) == STATS_KEYS
    assert stats == dict.fromkeys(STATS_KEYS, 0) | {"max_workers": 3}


# ---------------------------------------------------------------- live workers


def test_running_and_queued_workers(run):
    async def scenario():
        gates = Gates()
        pool = WorkerPool(max_workers=2, executor=gates)
        tasks = [WorkerTask(name=f"w{i}") for i in range(3)]
        for task in tasks:
            await pool.submit(task)
        await settle()
        ids = [t.id for t in tasks]
        assert ids_of(pool.list_active()) == ids
        assert ids_of(pool.list_running()) == ids[:2]
        assert ids_of(pool.list_queued()) == ids[2:]
        stats = pool.stats()
        assert (stats["active_count"], stats["queued_count"], stats["total_submitted"]) == (2, 1, 3)

        live = pool.get_status(ids[0])
        assert live is pool._active[ids[0]]

        gates.open(ids[0])
        await settle()
        assert pool.get_status(ids[0]) is live
        assert live is pool._completed[-1] and live.state == WorkerState.COMPLETED
        assert ids_of(pool.list_completed()) == ids[:1]
        assert ids_of(pool.list_running()) == ids[1:]
        stats = pool.stats()
        assert stats["total_completed"] == 1 and stats["completed_history"] == 1
        assert stats["active_count"] == 2 and stats["queued_count"] == 0

        gates.open_all()
        await settle()
        assert pool.list_active() == [] and len(pool.list_completed()) == 3

    run(scenario)


def test_stats_counts_only_active_states():
    pool = WorkerPool(max_workers=7)
    for task_id, state in [
        ("r1", WorkerState.RUNNING),
        ("q1", WorkerState.QUEUED),
        ("f1", WorkerState.FAILED),
        ("r2", WorkerState.RUNNING),
        ("c1", WorkerState.COMPLETED),
    ]:
        pool._active[task_id] = status(task_id, state)
    pool._completed.extend(status(f"h{i}") for i in range(4))
    pool._total_submitted, pool._total_completed, pool._total_failed = 11, 5, "as stored"
    assert pool.stats() == {
        "max_workers": 7,
        "active_count": 2,
        "queued_count": 1,
        "total_submitted": 11,
        "total_completed": 5,
        "total_failed": "as stored",
        "completed_history": 4,
    }
    assert ids_of(pool.list_running()) == ["r1", "r2"]
    assert ids_of(pool.list_queued()) == ["q1"]
    assert ids_of(pool.list_active()) == ["r1", "q1", "f1", "r2", "c1"]


# ---------------------------------------------------------------- history


@pytest.fixture
def sixty():
    pool = WorkerPool()
    pool._completed.extend(status(f"h{i:02d}") for i in range(60))
    return pool


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((), slice(10, 60)),
        ((5,), slice(55, 60)),
        ((0,), slice(0, 60)),
        ((-10,), slice(10, 60)),
        ((2.9,), slice(58, 60)),
        ((True,), slice(59, 60)),
        ((60,), slice(0, 60)),
        ((1000,), slice(0, 60)),
    ],
)
def test_list_completed_slices(sixty, args, expected):
    names = [f"h{i:02d}" for i in range(60)]
    assert ids_of(sixty.list_completed(*args)) == names[expected]


def test_list_completed_rejects_a_string_limit(sixty):
    with pytest.raises(TypeError, match=r"Argument 'limit' has incorrect type \(expected int, got str\)"):
        sixty.list_completed("5")


def test_list_all_is_active_then_twenty_newest(sixty):
    for task_id in ("a1", "a2", "a3"):
        sixty._active[task_id] = status(task_id, WorkerState.RUNNING)
    assert ids_of(sixty.list_all()) == ["a1", "a2", "a3"] + [f"h{i}" for i in range(40, 60)]


def test_history_trimmed_by_the_pool(run):
    async def scenario():
        gates = Gates()
        pool = WorkerPool(max_workers=20, executor=gates)
        ids = []
        for i in range(201):
            task = WorkerTask(name=f"t{i}")
            gates.open(task.id)
            await pool.submit(task)
            ids.append(task.id)
            await settle(3)
        await settle()
        assert pool.stats()["completed_history"] == len(pool._completed) == 100
        assert pool.get_status(ids[0]) is None
        assert pool.get_status(ids[-1]) is pool._completed[-1]
        assert ids_of(pool.list_completed(1000)) == ids[101:]

    run(scenario)


# ---------------------------------------------------------------- get_status


def test_get_status_prefers_active_then_oldest_history():
    pool = WorkerPool()
    old, new, live = status("x"), status("x"), status("x", WorkerState.RUNNING)
    pool._completed.extend([status("y"), old, new])
    assert pool.get_status("x") is old
    pool._active["x"] = live
    assert pool.get_status("x") is live
    assert pool.get_status(task_id="y") is pool._completed[0]


class LooseId:
    """An id that equals any string with the same lower-case text."""

    def __init__(self, text, calls):
        self.text, self.calls = text, calls

    def __eq__(self, other):
        self.calls.append(other)
        return isinstance(other, str) and other.lower() == self.text


class StrId(str):
    pass


def test_get_status_history_equality_rules():
    calls = []
    pool = WorkerPool()
    none_id, loose, sub = Record(None), Record(LooseId("abc", calls)), Record(StrId("abc"))
    pool._completed.extend([none_id, loose, sub])
    assert pool.get_status("ABC") is loose
    assert calls == ["ABC"]
    assert pool.get_status("zzz") is None
    pool._completed[:] = [none_id, sub]
    assert pool.get_status("abc") is sub  # a str subclass compares by ==


@pytest.mark.parametrize(
    "make_history",
    [tuple, list, lambda items: iter(items), lambda items: (x for x in items)],
    ids=["tuple", "list", "iterator", "generator"],
)
def test_get_status_walks_any_history(make_history):
    pool = WorkerPool()
    records = [status("a"), status("b")]
    pool._completed = make_history(records)
    assert pool.get_status("b") is records[1]


@pytest.mark.parametrize("bad", [None, 5, StrId("abc"), b"abc"])
def test_get_status_checks_the_id_before_reading(bad):
    class Untouchable(WorkerPool):
        def __getattribute__(self, name):
            if name in ("_active", "_completed"):
                raise AssertionError("table read")
            return super().__getattribute__(name)

    with pytest.raises(TypeError, match=r"Argument 'task_id' has incorrect type \(expected str, got "):
        Untouchable().get_status(bad)


# ---------------------------------------------------------------- replaced tables


def test_active_set_to_none():
    pool = WorkerPool()
    pool._active = None
    message = "'NoneType' object has no attribute 'values'"
    for query in (pool.list_active, pool.list_running, pool.list_queued, pool.list_all, pool.stats):
        with pytest.raises(AttributeError, match=message):
            query()
    with pytest.raises(TypeError):
        pool.get_status("a")
    pool._completed.append(status("a"))
    pool._active = {}
    assert pool.get_status("a") is pool._completed[0]


class Table(Mapping):
    """A mapping that is not a dict; values() returns whatever it was given."""

    def __init__(self, records, values_as=list):
        self.records = {r.task_id: r for r in records}
        self.values_as = values_as
        self.values_calls = 0

    def __getitem__(self, key):
        return self.records[key]

    def __iter__(self):
        return iter(self.records)

    def __len__(self):
        return len(self.records)

    def values(self):
        self.values_calls += 1
        return self.values_as(self.records.values())


@pytest.mark.parametrize("values_as", [list, tuple, iter, lambda v: (x for x in v)])
def test_active_as_another_mapping(values_as):
    pool = WorkerPool()
    table = Table([Record("r"), Record("q", WorkerState.QUEUED)], values_as)
    pool._active = table
    assert ids_of(pool.list_active()) == ["r", "q"]
    assert ids_of(pool.list_running()) == ["r"]
    assert ids_of(pool.list_queued()) == ["q"]
    stats = pool.stats()
    assert (stats["active_count"], stats["queued_count"]) == (1, 1)
    assert table.values_calls == 5  # stats walks twice
    assert pool.get_status("q") is table.records["q"]


def test_dict_subclass_goes_through_values():
    class Tracking(dict):
        calls = 0

        def values(self):
            Tracking.calls += 1
            return list(super().values())[::-1]

    pool = WorkerPool()
    pool._active = Tracking(a=Record("a"), b=Record("b"))
    assert ids_of(pool.list_active()) == ["b", "a"]
    assert Tracking.calls == 1


def test_subclass_attributes_are_honoured():
    class Custom(WorkerPool):
        _max_workers = 99

        @property
        def _completed(self):
            return (status("p1"), status("p2"))

        @_completed.setter
        def _completed(self, value):
            pass

    pool = Custom()
    del pool._max_workers  # the class attribute shows through
    assert pool.stats()["max_workers"] == 99
    assert pool.stats()["completed_history"] == 2
    assert ids_of(pool.list_completed(1)) == ["p2"]
    assert pool.get_status("p1").task_id == "p1"


class Growing:
    """A record whose every read of `state` or to_dict() adds an entry to the table."""

    task_id = "g"

    def __init__(self, table):
        self.table = table

    @property
    def state(self):
        self.table[object()] = None
        return WorkerState.RUNNING

    def to_dict(self):
        return self.state and {}


@pytest.mark.parametrize("query", ["list_active", "list_running", "stats"])
def test_size_change_during_walk(query):
    pool = WorkerPool()
    pool._active["g"] = Growing(pool._active)
    pool._active["h"] = status("h")
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        getattr(pool, query)()


@pytest.mark.parametrize(("history", "name"), [(None, "NoneType"), ({1, 2}, "set"), (5, "int")])
def test_unsliceable_history(history, name):
    pool = WorkerPool()
    pool._completed = history
    with pytest.raises(TypeError, match=f"^'{name}' object is unsliceable$"):
        pool.list_completed()


def test_history_as_tuple():
    pool = WorkerPool()
    pool._completed = tuple(status(f"h{i}") for i in range(30))
    assert ids_of(pool.list_completed(3)) == ["h27", "h28", "h29"]
    assert len(pool.list_all()) == 20
    assert pool.stats()["completed_history"] == 30


def test_list_all_uses_overrides_and_checks_the_sum():
    seen = []

    class Sum:
        def __init__(self, result):
            self.result = result

        def __add__(self, other):
            seen.append(other)
            return self.result

    class Custom(WorkerPool):
        result = None

        def list_active(self):
            return Sum(self.result)

        def list_completed(self, *args, **kwargs):
            seen.append((args, kwargs))
            return ["recent"]

    pool = Custom()
    pool.result = ("not", "a", "list")
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        pool.list_all()
    assert seen == [((20,), {}), ["recent"]]
    pool.result = None
    assert pool.list_all() is None
    pool.result = ["fine"]
    assert pool.list_all() == ["fine"]


def test_worker_state_is_looked_up_per_record(monkeypatch):
    pool = WorkerPool()
    pool._active["r"] = status("r", WorkerState.RUNNING)
    pool._active["q"] = status("q", WorkerState.QUEUED)
    pool._active["s"] = status("s", WorkerState.RUNNING)
    swapped = types.SimpleNamespace(RUNNING=WorkerState.QUEUED, QUEUED=WorkerState.RUNNING)
    monkeypatch.setattr(wp, "WorkerState", swapped)
    assert ids_of(pool.list_running()) == ["q"]
    assert (pool.stats()["active_count"], pool.stats()["queued_count"]) == (1, 2)
    monkeypatch.delattr(wp, "WorkerState")
    with pytest.raises(NameError, match="name 'WorkerState' is not defined"):
        pool.list_queued()
    assert ids_of(pool.list_active()) == ["r", "q", "s"]  # needs no WorkerState


# ---------------------------------------------------------------- tracebacks


def _no_task_id():
    pool = WorkerPool()
    pool._completed.append(object())
    return pool


def _set(**fields):
    def make():
        pool = WorkerPool()
        for name, value in fields.items():
            setattr(pool, name, value)
        return pool

    return make


def _without(name):
    def make():
        pool = WorkerPool()
        delattr(pool, name)
        return pool

    return make


@pytest.mark.parametrize(
    ("make", "query", "error", "where"),
    [
        (_set(_active=None), lambda p: p.get_status("a"), TypeError, [("get_status", 228)]),
        (_set(_completed=None), lambda p: p.get_status("a"), TypeError, [("get_status", 230)]),
        (_no_task_id, lambda p: p.get_status("a"), AttributeError, [("get_status", 231)]),
        (_set(_active=None), lambda p: p.list_active(), AttributeError, [("list_active", 237)]),
        (_set(_active=None), lambda p: p.list_running(), AttributeError, [("list_running", 241)]),
        (_set(_active=None), lambda p: p.list_queued(), AttributeError, [("list_queued", 245)]),
        (_set(_completed=None), lambda p: p.list_completed(), TypeError, [("list_completed", 249)]),
        (
            _set(_completed=None),
            lambda p: p.list_all(),
            TypeError,
            [("list_all", 253), ("list_completed", 249)],
        ),
        (_set(_active=None), lambda p: p.stats(), AttributeError, [("stats", 259), ("genexpr", 260)]),
        (_without("_max_workers"), lambda p: p.stats(), AttributeError, [("stats", 267)]),
        (_without("_total_failed"), lambda p: p.stats(), AttributeError, [("stats", 272)]),
        (_set(_completed=5), lambda p: p.stats(), TypeError, [("stats", 273)]),
    ],
)
def test_failing_steps_report_their_lines(make, query, error, where):
    with pytest.raises(error) as info:
        query(make())
    frames = traceback.extract_tb(info.value.__traceback__)
    prefix = "zorvic.core.worker_pool.WorkerPool."
    ours = [(f.name.removeprefix(prefix), f.lineno) for f in frames if f.filename == "zorvic/core/worker_pool.py"]
    assert ours == where


def test_stats_counts_through_the_modules_generators():
    seen = []

    class Spy:
        task_id = "spy"

        @property
        def state(self):
            for holder in gc.get_referrers(self):
                if type(holder).__name__ == "generator" and type(holder) is not types.GeneratorType:
                    seen.append((holder.__name__, holder.__qualname__, holder.gi_running))
            return WorkerState.RUNNING

        def to_dict(self):
            return {}

    pool = WorkerPool()
    pool._active["spy"] = Spy()
    assert pool.stats()["active_count"] == 1
    assert seen == [("genexpr", "WorkerPool.stats.<locals>.genexpr", True)] * 2
    seen.clear()
    assert pool.list_running() == [{}]
    assert seen == []
