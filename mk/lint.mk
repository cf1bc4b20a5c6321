# Mechanical style checks: clang-format over the C++ of src/ (.clang-format),
# ruff over the Python of tests/, bench/, examples/, the package (python/:
# its __init__ files and the type stub) and the documentation's scripts
# (docs/; ruff.toml), and mypy --strict over the type stub on its own.
#
#   make lint     check only: fails when a file is not formatted as configured,
#                 ruff's linter reports something or mypy finds a fault in the
#                 stub (an undefined name, a malformed annotation); every check
#                 runs. stubtest, which compares the stub with the built module,
#                 runs in the test suite (tests/test_stubs.py).
#   make format   rewrite the files in place: clang-format -i, ruff format
#                 (lint findings are left to be fixed by hand)
#
# The tools come from PyPI, pinned (a new release may format differently), in
# an environment of their own: no build of the module is needed.

LINT_VENV := build/venv-lint
LINT_TOOLS := clang-format==23.1.5 ruff==0.17.6 mypy==2.4.1
LINT_CXX = $(shell find src -name '*.cpp' -o -name '*.hpp' | sort)
LINT_PYTHON := tests bench examples python docs
LINT_STUB := python/zorvic/core/worker_pool.pyi

.PHONY: lint format

# Reinstalled when this file (the pins) changes.
$(LINT_VENV)/.tools: mk/lint.mk | check-python
	rm -rf $(LINT_VENV)
	"$(PYTHON313)" -m venv $(LINT_VENV)
	$(LINT_VENV)/bin/python -m pip install -qq --disable-pip-version-check $(LINT_TOOLS)
	touch $@

lint: $(LINT_VENV)/.tools
	@status=0; \
	echo "clang-format --dry-run: src/"; \
	$(LINT_VENV)/bin/clang-format --dry-run -Werror $(LINT_CXX) || status=1; \
	echo "ruff check: $(LINT_PYTHON)"; \
	$(LINT_VENV)/bin/ruff check $(LINT_PYTHON) || status=1; \
	echo "ruff format --check: $(LINT_PYTHON)"; \
	$(LINT_VENV)/bin/ruff format --check $(LINT_PYTHON) || status=1; \
	echo "mypy --strict: $(LINT_STUB)"; \
	printf '[mypy]\n' > $(LINT_VENV)/mypy.ini; \
	$(LINT_VENV)/bin/mypy --strict --config-file $(LINT_VENV)/mypy.ini --cache-dir $(LINT_VENV)/mypy-cache \
	  $(LINT_STUB) || status=1; \
	exit $$status

format: $(LINT_VENV)/.tools
	$(LINT_VENV)/bin/clang-format -i $(LINT_CXX)
	$(LINT_VENV)/bin/ruff format $(LINT_PYTHON)
