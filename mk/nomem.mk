# Allocation-failure sweep: every operation of the module run with its N-th
# memory allocation failing, N = 1, 2, 3, ... (tests/nomem/harness.py).
#
#   make nomem      the interpreter's allocations (both regimes: from N on,
#                   and N alone), then the module's own C++ allocations
#                   (tests/nomem/failnew.c preloaded); every crash, hang and
#                   SystemError is shown with the C stack behind it (gdb).
#                   NOMEM_ARGS passes options to the harness (--ops, --modes,
#                   --start/--stop, --loop uvloop).
#
# It builds into its own venv with debug information, so that the stacks name
# the module's functions, and with ZORVIC_FAULT_INJECTION, so that every
# coroutine frame and scope is a new C++ allocation the `--cxx` pass can fail
# (not one taken from a free list). `make test` runs a short fixed slice
# (tests/test_nomem.py).

.PHONY: nomem

NOMEM_VENV := build/venv-nomem-g
NOMEM_FAILNEW := build/nomem/libfailnew.so

$(NOMEM_VENV)/bin/python: | check-python
	rm -rf $(NOMEM_VENV)
	"$(PYTHON313)" -m venv $(NOMEM_VENV)
	$(NOMEM_VENV)/bin/python -m pip install -qq --disable-pip-version-check $(BUILD_DEPS)

# This file is a prerequisite: its build options are part of the build.
$(NOMEM_VENV)/.installed: $(INPUTS) mk/nomem.mk | $(NOMEM_VENV)/bin/python
	$(call install_logged,$(NOMEM_VENV),build/install-nomem.log,-C cmake.build-type=RelWithDebInfo -C cmake.define.ZORVIC_FAULT_INJECTION=ON -C build-dir=build/nomem-g-{wheel_tag} ".[test]")

# With -g: `--stacks` breaks on the allocation it fails by its counter.
$(NOMEM_FAILNEW): tests/nomem/failnew.c mk/nomem.mk
	@mkdir -p $(dir $@)
	gcc -shared -fPIC -O2 -g -o $@ $<

nomem: check-python $(NOMEM_VENV)/.installed $(NOMEM_FAILNEW)
	@command -v gdb >/dev/null || echo "gdb is not installed: no C stacks (apt-get install gdb)"
	$(NOMEM_VENV)/bin/python tests/nomem/harness.py --stacks --json build/nomem/sweep.jsonl $(NOMEM_ARGS); \
	status=$$?; \
	$(NOMEM_VENV)/bin/python tests/nomem/harness.py --stacks --cxx --failnew $(NOMEM_FAILNEW) \
	  --json build/nomem/sweep-cxx.jsonl $(NOMEM_ARGS) || status=1; \
	exit $$status
