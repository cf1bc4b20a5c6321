# Allocation-failure sweep: every operation of the module run with its N-th
# memory allocation failing, N = 1, 2, 3, ... (tests/nomem/harness.py).
#
#   make nomem      both regimes (from N on, and N alone); every crash, hang
#                   and SystemError is shown with the C stack behind it (gdb).
#                   NOMEM_ARGS passes options to the harness (--ops, --modes,
#                   --start/--stop, --loop uvloop).
#
# The module allocates through the interpreter's allocator, coroutine frames
# and scopes included, so `_testcapi.set_nomemory` fails the module's own
# allocations as well as the interpreter's. It builds into its own venv with
# debug information, so that the stacks name the module's functions, and with
# ZORVIC_FAULT_INJECTION, so that every coroutine frame and scope is a new
# allocation the sweep can fail (not one taken from a free list). `make test`
# runs a short fixed slice (tests/test_nomem.py).

.PHONY: nomem

NOMEM_VENV := build/venv-nomem-g

$(NOMEM_VENV)/bin/python: | check-python
	rm -rf $(NOMEM_VENV)
	"$(PYTHON313)" -m venv $(NOMEM_VENV)
	$(NOMEM_VENV)/bin/python -m pip install -qq --disable-pip-version-check $(BUILD_DEPS)

# This file is a prerequisite: its build options are part of the build.
$(NOMEM_VENV)/.installed: $(INPUTS) mk/nomem.mk | $(NOMEM_VENV)/bin/python
	$(call install_logged,$(NOMEM_VENV),build/install-nomem.log,-C cmake.build-type=RelWithDebInfo -C cmake.define.ZORVIC_FAULT_INJECTION=ON -C build-dir=build/nomem-g-{wheel_tag} ".[test]")

nomem: check-python $(NOMEM_VENV)/.installed
	@command -v gdb >/dev/null || echo "gdb is not installed: no C stacks (apt-get install gdb)"
	$(NOMEM_VENV)/bin/python tests/nomem/harness.py --stacks --json build/nomem/sweep.jsonl $(NOMEM_ARGS)
