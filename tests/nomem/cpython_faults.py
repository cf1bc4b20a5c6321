"""Faults of CPython 3.13.0 itself under allocation failure, without the module.

The allocation-failure sweep (harness.py) meets these on the module's paths;
each one here is reproduced with the interpreter alone. Run one of them (each
may crash, hang or print a SystemError, so each in its own process):

    python tests/nomem/cpython_faults.py make_function    # crash
    python tests/nomem/cpython_faults.py take_ownership   # SystemError
    python tests/nomem/cpython_faults.py f_back           # SystemError
    python tests/nomem/cpython_faults.py handler_lasti    # hangs (use a timeout)
    python tests/nomem/cpython_faults.py lost_wakeup      # a cancelled task never resumes
    python tests/nomem/cpython_faults.py setdefault_resize  # crash
    python tests/nomem/cpython_faults.py tokenizer_new    # SystemError
    python tests/nomem/cpython_faults.py fstring_expr     # SyntaxError instead of MemoryError
    python tests/nomem/cpython_faults.py assemble_init    # an object freed twice
    python tests/nomem/cpython_faults.py compiler_null    # SystemError
    python tests/nomem/cpython_faults.py inst_seq_create  # crash
    python tests/nomem/cpython_faults.py enum_value       # TypeError instead of MemoryError
    python tests/nomem/cpython_faults.py pickle_import    # PicklingError instead of MemoryError
"""

from __future__ import annotations

import _testcapi
import asyncio
import pickle
import sys


def make_function() -> None:
    """MAKE_FUNCTION drops the code object once too often when the function
    cannot be allocated; a later call runs on a freed code object. (asyncio's
    Semaphore.locked() makes a generator expression on every acquire.)"""

    def f() -> bool:
        return any(x > 0 for x in range(0))

    for _ in range(5):  # the code object of the expression loses one reference each time
        for n in range(4):
            _testcapi.set_nomemory(n, n + 1)
            try:
                f()
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
    for _ in range(1000):
        f()
    print("no crash yet: the process usually dies at exit")


def take_ownership() -> None:
    """A frame popped with an exception in flight gives its frame object to
    the traceback and links the caller's frame object; when that allocation
    fails, frame.c clears the error, which is the one in flight."""

    def inner() -> None:
        raise TypeError("in flight")

    def outer() -> None:
        inner()

    for n in range(40):
        _testcapi.set_nomemory(n, n + 1)
        try:
            outer()
        except (TypeError, MemoryError):
            pass
        except SystemError as e:
            _testcapi.remove_mem_hooks()
            print(f"index {n}: SystemError: {e}")
            return
        finally:
            _testcapi.remove_mem_hooks()
    print("not reproduced")


def f_back() -> None:
    """frame.f_back returns None, with MemoryError left set, when the
    caller's frame object cannot be made (logging reads it to find the
    caller); the next call that checks reports a SystemError."""

    def callee() -> object:
        f = sys._getframe()
        _testcapi.set_nomemory(0, 1)  # the next allocation alone fails: the caller's frame object
        back = f.f_back
        _testcapi.remove_mem_hooks()
        return back

    def caller() -> object:
        return callee()

    try:
        print("f_back:", caller())
    except SystemError as e:
        print("SystemError:", e, "| context:", repr(e.__cause__ or e.__context__))


def handler_lasti() -> None:
    """Entering an exception handler that pushes the instruction offset
    boxes it as an int; past offset 256 that allocates, and when it fails the
    interpreter unwinds to the same handler again, for ever. (logging's
    LogRecord.__init__ has such a handler.)"""
    f = _long_function_with_handler
    try:
        f()
    finally:
        _testcapi.remove_mem_hooks()
    print("returned")


def _long_function_with_handler() -> None:
    # The assignments only push the handler past offset 256.
    v0 = 0 * 2
    v1 = 1 * 2
    v2 = 2 * 2
    v3 = 3 * 2
    v4 = 4 * 2
    v5 = 5 * 2
    v6 = 6 * 2
    v7 = 7 * 2
    v8 = 8 * 2
    v9 = 9 * 2
    v10 = 10 * 2
    v11 = 11 * 2
    v12 = 12 * 2
    v13 = 13 * 2
    v14 = 14 * 2
    v15 = 15 * 2
    v16 = 16 * 2
    v17 = 17 * 2
    v18 = 18 * 2
    v19 = 19 * 2
    v20 = 20 * 2
    v21 = 21 * 2
    v22 = 22 * 2
    v23 = 23 * 2
    v24 = 24 * 2
    v25 = 25 * 2
    v26 = 26 * 2
    v27 = 27 * 2
    v28 = 28 * 2
    v29 = 29 * 2
    v30 = 30 * 2
    v31 = 31 * 2
    v32 = 32 * 2
    v33 = 33 * 2
    v34 = 34 * 2
    v35 = 35 * 2
    v36 = 36 * 2
    v37 = 37 * 2
    v38 = 38 * 2
    v39 = 39 * 2
    v40 = 40 * 2
    v41 = 41 * 2
    v42 = 42 * 2
    v43 = 43 * 2
    v44 = 44 * 2
    v45 = 45 * 2
    v46 = 46 * 2
    v47 = 47 * 2
    v48 = 48 * 2
    v49 = 49 * 2
    v50 = 50 * 2
    v51 = 51 * 2
    v52 = 52 * 2
    v53 = 53 * 2
    v54 = 54 * 2
    v55 = 55 * 2
    v56 = 56 * 2
    v57 = 57 * 2
    v58 = 58 * 2
    v59 = 59 * 2
    v60 = 60 * 2
    v61 = 61 * 2
    v62 = 62 * 2
    v63 = 63 * 2
    v64 = 64 * 2
    v65 = 65 * 2
    v66 = 66 * 2
    v67 = 67 * 2
    v68 = 68 * 2
    v69 = 69 * 2
    v70 = 70 * 2
    v71 = 71 * 2
    v72 = 72 * 2
    v73 = 73 * 2
    v74 = 74 * 2
    v75 = 75 * 2
    v76 = 76 * 2
    v77 = 77 * 2
    v78 = 78 * 2
    v79 = 79 * 2
    v80 = 80 * 2
    v81 = 81 * 2
    v82 = 82 * 2
    v83 = 83 * 2
    v84 = 84 * 2
    v85 = 85 * 2
    v86 = 86 * 2
    v87 = 87 * 2
    v88 = 88 * 2
    v89 = 89 * 2
    v90 = 90 * 2
    v91 = 91 * 2
    v92 = 92 * 2
    v93 = 93 * 2
    v94 = 94 * 2
    v95 = 95 * 2
    v96 = 96 * 2
    v97 = 97 * 2
    v98 = 98 * 2
    v99 = 99 * 2
    v100 = 100 * 2
    v101 = 101 * 2
    v102 = 102 * 2
    v103 = 103 * 2
    v104 = 104 * 2
    v105 = 105 * 2
    v106 = 106 * 2
    v107 = 107 * 2
    v108 = 108 * 2
    v109 = 109 * 2
    v110 = 110 * 2
    v111 = 111 * 2
    v112 = 112 * 2
    v113 = 113 * 2
    v114 = 114 * 2
    v115 = 115 * 2
    v116 = 116 * 2
    v117 = 117 * 2
    v118 = 118 * 2
    v119 = 119 * 2
    v120 = 120 * 2
    v121 = 121 * 2
    v122 = 122 * 2
    v123 = 123 * 2
    v124 = 124 * 2
    v125 = 125 * 2
    v126 = 126 * 2
    v127 = 127 * 2
    v128 = 128 * 2
    v129 = 129 * 2
    v130 = 130 * 2
    v131 = 131 * 2
    v132 = 132 * 2
    v133 = 133 * 2
    v134 = 134 * 2
    v135 = 135 * 2
    v136 = 136 * 2
    v137 = 137 * 2
    v138 = 138 * 2
    v139 = 139 * 2
    v140 = 140 * 2
    v141 = 141 * 2
    v142 = 142 * 2
    v143 = 143 * 2
    v144 = 144 * 2
    v145 = 145 * 2
    v146 = 146 * 2
    v147 = 147 * 2
    v148 = 148 * 2
    v149 = 149 * 2
    try:
        raise KeyError("x")
    except KeyError:
        _testcapi.set_nomemory(0, 0)  # every allocation from here on fails
        raise ValueError("y")


def setdefault_resize() -> None:
    """dict setdefault (PyDict_SetDefaultRef), when the table must grow for
    the new entry and cannot, counts the entry in anyway and returns success
    with MemoryError set. The dict then claims one entry more than it holds:
    its next resize reads a NULL key (a crash), or the error set surfaces
    later as a SystemError. type_ready adds each method and getset of a new
    type (static, or made by type()) to the type's dict this way."""
    namespace = {f"m{i}": (lambda self: None) for i in range(20)}
    for n in range(60):
        _testcapi.set_nomemory(n, n + 1)
        try:
            for i in range(5):
                type(f"X{i}", (), dict(namespace))
        except MemoryError:
            pass
        except SystemError as e:
            _testcapi.remove_mem_hooks()
            print(f"index {n}: SystemError: {e}")
            return
        finally:
            _testcapi.remove_mem_hooks()
        for i in range(50):
            type(f"Y{i}", (), dict(namespace))
    print("not reproduced")


def tokenizer_new() -> None:
    """Compiling a string: when the tokenizer's state, or its copy of the
    text (_PyTokenizer_translate_newlines), cannot be allocated, the parser
    returns NULL with no exception set (a SystemError). The
    dataclass decorator compiles the methods it makes from strings."""
    for n in range(40):
        _testcapi.set_nomemory(n, n + 1)
        try:
            exec("def f(a, b):\n    return a + b\n", {})
        except MemoryError:
            pass
        except SystemError as e:
            _testcapi.remove_mem_hooks()
            print(f"index {n}: SystemError: {e}")
            return
        finally:
            _testcapi.remove_mem_hooks()
    print("not reproduced")


def fstring_expr() -> None:
    """Compiling an f-string: when the lexer cannot copy the text of a
    replacement field, the parser reports SyntaxError ("invalid syntax")
    instead of MemoryError."""
    for n in range(80):
        _testcapi.set_nomemory(n, n + 1)
        try:
            compile("x = 1\ny = f'<{x}>'\n", "<fstring>", "exec")
        except (MemoryError, SystemError):  # SystemError: tokenizer_new
            pass
        except SyntaxError as e:
            _testcapi.remove_mem_hooks()
            print(f"index {n}: SyntaxError: {e}")
            return
        finally:
            _testcapi.remove_mem_hooks()
    print("not reproduced")


def _each_index(name: str, limit: int) -> None:
    """Runs `name` for each index in a process of its own (the interpreter's
    other faults crash on some indices before): the first one that prints
    what it looks for, or that dies after saying it got through, is shown."""
    import subprocess

    for n in range(limit):
        child = subprocess.run([sys.executable, __file__, name, str(n)], capture_output=True, text=True)
        if child.stdout.startswith("index"):
            print(child.stdout.strip())
            return
        if child.returncode < 0 and child.stdout.startswith("survived"):
            print(f"index {n}: {child.stdout.strip()}, then the process died of signal {-child.returncode}")
            return
    print("not reproduced")


def assemble_init() -> None:
    """When the assembler gets its bytecode buffer but not its line table
    (or exception table), it releases what it got and its caller releases
    the same again: a bytes object freed twice, and the allocator's free
    list corrupted. A later allocation crashes, or returns memory in use.

    Each index runs in a process of its own; the first whose compile()
    raises MemoryError and whose process then dies is shown. That the
    failing allocation was the assembler's is seen only on its C stack
    (the sweep's --stacks, or gdb with a breakpoint on _testcapi's hooks):
    for this source, the other indices that crash do so inside compile()."""
    if len(sys.argv) < 3:
        return _each_index("assemble_init", 250)
    n = int(sys.argv[2])
    source = "def f(a):\n    return a + 1\n"
    compile(source, "<assemble>", "exec")
    _testcapi.set_nomemory(n, n + 1)
    try:
        compile(source, "<assemble>", "exec")
    except MemoryError:
        print("survived compile() with MemoryError", flush=True)
    except SystemError:  # tokenizer_new
        pass
    finally:
        _testcapi.remove_mem_hooks()
    # Objects of the sizes of the assembler's first buffers, then more code.
    live = [bytes(size) for size in (16, 32, 128) for _ in range(1000)]
    for _ in range(100):
        compile(source, "<assemble>", "exec")
    del live


# A source like the methods dataclasses compiles: a function in a function.
_NESTED = "def make(a, b):\n    def __init__(self, x, y=None, z=600.0):\n        self.x = x\n        self.y = y\n    return (__init__,)\n"


def compiler_null() -> None:
    """Compiling: when the compiler's state (new_compiler) or the table of a
    code unit's used constants (remove_unused_consts) cannot be allocated,
    compile() returns NULL with no exception set (a SystemError). Prints the
    indices that do so as they come, past the tokenizer's (tokenizer_new);
    their C stacks name the allocation. Other faults crash on later indices."""
    compile(_NESTED, "<nested>", "exec")
    for n in range(20, 400):
        _testcapi.set_nomemory(n, n + 1)
        try:
            compile(_NESTED, "<nested>", "exec")
        except MemoryError:
            pass
        except SystemError as e:
            _testcapi.remove_mem_hooks()
            print(f"index {n}: SystemError: {e}", flush=True)
        finally:
            _testcapi.remove_mem_hooks()


def inst_seq_create() -> None:
    """Compiling a nested function: when the instruction sequence of the
    inner scope cannot be allocated, compiler_enter_scope() goes on and the
    compiler crashes on it (or later). Each index runs in a process of its
    own; the first that dies is shown (its C stack names inst_seq_create)."""
    if len(sys.argv) < 3:
        return _each_index("inst_seq_create", 400)
    n = int(sys.argv[2])
    compile(_NESTED, "<nested>", "exec")
    _testcapi.set_nomemory(n, n + 1)
    try:
        compile(_NESTED, "<nested>", "exec")
    except (MemoryError, SystemError):
        pass
    finally:
        _testcapi.remove_mem_hooks()
    print("survived compile()", flush=True)
    for _ in range(200):
        compile(_NESTED, "<nested>", "exec")


def enum_value() -> None:
    """Creating an enum with a data type: when setting a member's _value_
    fails, enum's _proto_member.__set_name__ turns the MemoryError into
    TypeError("_value_ not set in __new__")."""
    if len(sys.argv) < 3:
        return _each_index("enum_value", 300)
    import enum

    n = int(sys.argv[2])
    _testcapi.set_nomemory(n, n + 1)
    try:

        class Colour(str, enum.Enum):
            RED = "r"
            GREEN = "g"

    except MemoryError:
        pass
    except TypeError as e:
        _testcapi.remove_mem_hooks()
        print(f"index {n}: TypeError: {e} | cause: {e.__cause__!r}", flush=True)
    finally:
        _testcapi.remove_mem_hooks()


def lost_wakeup() -> None:
    """Task.cancel() cancels the future the task waits for; when scheduling
    that future's callbacks fails, the future is cancelled but the task is
    never woken: it stays 'cancelling' for ever."""

    async def main() -> None:
        loop = asyncio.get_running_loop()
        for n in range(30):
            future = loop.create_future()

            async def waiter() -> None:
                await future

            task = asyncio.ensure_future(waiter())
            await asyncio.sleep(0)
            _testcapi.set_nomemory(n, n + 1)
            try:
                task.cancel()
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
            for _ in range(20):
                await asyncio.sleep(0)
            if not task.done():
                print(f"index {n}: {task!r}")
                return
        print("not reproduced")

    asyncio.run(main())


def pickle_import() -> None:
    """Pickling a function by reference imports its module; _pickle turns
    the import's MemoryError into PicklingError, with no context."""
    import collections.abc

    for n in range(300):
        _testcapi.set_nomemory(n, n + 1)
        try:
            pickle.dumps(collections.abc.Mapping)
        except MemoryError:
            continue
        except pickle.PicklingError as e:
            _testcapi.remove_mem_hooks()
            print(f"index {n}: PicklingError: {e} | context: {e.__context__!r}")
            return
        finally:
            _testcapi.remove_mem_hooks()
    print("not reproduced")


if __name__ == "__main__":
    {
        "make_function": make_function,
        "take_ownership": take_ownership,
        "f_back": f_back,
        "handler_lasti": handler_lasti,
        "lost_wakeup": lost_wakeup,
        "setdefault_resize": setdefault_resize,
        "tokenizer_new": tokenizer_new,
        "fstring_expr": fstring_expr,
        "assemble_init": assemble_init,
        "compiler_null": compiler_null,
        "inst_seq_create": inst_seq_create,
        "enum_value": enum_value,
        "pickle_import": pickle_import,
    }[sys.argv[1]]()
