# Build, test and demonstrate zorvic.core.worker_pool.
#
#   make test       build into .venv and run the test suite on asyncio, then on uvloop
#                   (make test-asyncio / make test-uvloop run one pass)
#   make demo       build into .venv and run examples/demo.py
#   make sanitize   build with ASan + UBSan into build/venv-sanitize and run the tests
#   make clean      remove build trees, virtual environments and the built site
#   make docs       the documentation site into docs/_build/html (mk/docs.mk)
#   make clang      build with Clang, warnings as errors, into build/venv-clang and run the tests
#   make wheel      the sdist and a manylinux wheel into dist/, each installed into a
#                   fresh environment and tested there (mk/dist.mk)
#
# PYTHON313=/path/to/python3.13 overrides the interpreter search; PYTEST_ARGS
# passes options to pytest; V=1 shows the build as it runs; WERROR=1 makes
# compiler warnings errors (.ci/run uses it); VENV=dir builds and tests in
# another environment, with its own build tree.

SHELL := bash
.SHELLFLAGS := -o pipefail -c
.DEFAULT_GOAL := test

# The first interpreter that reports 3.13 and has its C headers: python3.13 on
# PATH, then pyenv's 3.13 builds (newest first). Prints its sys.executable.
PROBE_313 := import sys, sysconfig, os; \
  ok = sys.version_info[:2] == (3, 13) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")); \
  print(sys.executable if ok else ""); sys.exit(not ok)
ifndef PYTHON313
PYTHON313 := $(shell \
  for p in python3.13 $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV); do \
    "$$p" -c '$(PROBE_313)' 2>/dev/null && break; \
  done)
endif
# Evaluated only when a target needs the interpreter.
PYTHON313_OK = $(if $(PYTHON313),$(shell "$(PYTHON313)" -c '$(PROBE_313)' 2>/dev/null))

VENV := .venv
SAN_VENV := build/venv-sanitize
BUILD_DEPS := "scikit-build-core>=0.10" "cmake>=3.21" ninja
# Passed on every build, so that a persistent build tree never keeps the
# setting of an earlier one.
WERROR_SET := $(if $(filter-out 0 OFF off,$(WERROR)),ON,OFF)
BUILD_OPTIONS := -C cmake.define.ZORVIC_WERROR=$(WERROR_SET)
# Each set of build options has a build tree of its own (build/venv-{tag},
# build/venv-werror-{tag}): -Werror changes every compile command, so one
# shared tree would recompile everything at each switch between `make test`
# and `make test WERROR=1` (.ci/run). A switch now reinstalls the module from
# a tree that is already up to date.
TREE_SUFFIX := $(if $(filter ON,$(WERROR_SET)),-werror)
# The build log goes to build/install*.log; compiler warnings are echoed from it,
# the whole log is shown when the build fails. V=1 streams it instead.
PIP_INSTALL = pip install --disable-pip-version-check --no-build-isolation -v
define install_logged
	@mkdir -p build
	@echo "building and installing into $(1) (log: $(2))"
	@if [ -n "$(V)" ]; then $(1)/bin/python -m $(PIP_INSTALL) $(3) 2>&1 | tee $(2); \
	else $(1)/bin/python -m $(PIP_INSTALL) $(3) > $(2) 2>&1 || { grep -v '^WARNING: Location' $(2); exit 1; }; fi
	@grep -E -A4 '(warning|error):' $(2) | grep -v '^WARNING: Location' || true
	touch $(1)/.installed
endef

# Anything that changes the built package: every file under src/ and python/
# (directories too, so that adding or removing a file counts), the build files.
INPUTS := $(shell find src python -name __pycache__ -prune -o -print 2>/dev/null) \
          CMakeLists.txt pyproject.toml

SANITIZER_ENV := \
  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONMALLOC=malloc \
  HYPOTHESIS_PROFILE=sanitize

.PHONY: test test-asyncio test-uvloop demo sanitize clean check-python FORCE

check-python:
	$(if $(PYTHON313_OK),,$(error Python 3.13 with its C headers was not found: install it (for example 'pyenv install 3.13') or pass PYTHON313=/path/to/python3.13))

# A virtual environment with the build tools, so that reinstalls reuse the
# build tree without an isolated build environment each time.
$(VENV)/bin/python: | check-python
	rm -rf $(VENV)
	"$(PYTHON313)" -m venv $(VENV)
	$(VENV)/bin/python -m pip install -qq --disable-pip-version-check $(BUILD_DEPS)

# The build options of each environment's last build, rewritten only when they
# change, so that a change (WERROR=1) reinstalls.
build/options-%: FORCE
	@mkdir -p build
	@echo '$(BUILD_OPTIONS)' | cmp -s - $@ || echo '$(BUILD_OPTIONS)' > $@

# Each virtual environment has its own persistent build tree, named after it.
$(VENV)/.installed: $(INPUTS) build/options-$(subst .,,$(notdir $(VENV))) | $(VENV)/bin/python
	$(call install_logged,$(VENV),build/install-$(subst .,,$(notdir $(VENV))).log,$(BUILD_OPTIONS) -C build-dir=build/$(subst .,,$(notdir $(VENV)))$(TREE_SUFFIX)-{wheel_tag} ".[test]")

# The suite runs twice: on asyncio's own event loop, then on uvloop.
test: test-asyncio test-uvloop

test-asyncio: check-python $(VENV)/.installed
	$(VENV)/bin/python -m pytest --loop=asyncio $(PYTEST_ARGS)

test-uvloop: check-python $(VENV)/.installed
	$(VENV)/bin/python -m pytest --loop=uvloop $(PYTEST_ARGS)

demo: check-python $(VENV)/.installed
	$(VENV)/bin/python examples/demo.py

$(SAN_VENV)/bin/python: | check-python
	rm -rf $(SAN_VENV)
	"$(PYTHON313)" -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/python -m pip install -qq --disable-pip-version-check $(BUILD_DEPS)

$(SAN_VENV)/.installed: $(INPUTS) build/options-sanitize | $(SAN_VENV)/bin/python
	$(call install_logged,$(SAN_VENV),build/install-sanitize.log,$(BUILD_OPTIONS) -C cmake.define.ZORVIC_SANITIZE=ON -C cmake.build-type=Debug -C build-dir=build/sanitize$(TREE_SUFFIX)-{wheel_tag} ".[test]")

sanitize: check-python $(SAN_VENV)/.installed
	$(SANITIZER_ENV) $(SAN_VENV)/bin/python -m pytest $(PYTEST_ARGS)

# More targets (stress runs, benchmarks, memory checks) live in mk/*.mk.
-include mk/*.mk

clean:
	rm -rf build $(VENV) dist .pytest_cache .mypy_cache .hypothesis docs/_build docs/_generated
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
