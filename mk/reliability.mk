# Reliability runs: long stress and leak runs, and a memcheck of the stress suite.
#
#   make stress     many fresh seeds with thousands of workers each, 100,000
#                   submit-to-history cycles, long Hypothesis runs; every
#                   seed is printed. STRESS_SEED=<seed>[,<seed>...] runs those
#                   seeds only, STRESS_SEEDS=<n> sets how many fresh seeds,
#                   STRESS_WORKERS=<n> the workers per run.
#   make valgrind   valgrind's memcheck over the stress suite (the short run),
#                   with PYTHONMALLOC=malloc, on the .venv build; the log goes
#                   to build/valgrind.log and tests/stress/valgrind_log.py
#                   sums it up. VALGRIND_TESTS chooses other tests.
#
# The short stress run, the leak checks and the property tests are part of
# `make test`; `make sanitize` runs them under AddressSanitizer and UBSan.

.PHONY: stress valgrind

stress: check-python $(VENV)/.installed
	STRESS_FULL=1 $(VENV)/bin/python -m pytest -s -v -p no:cacheprovider \
	  tests/stress tests/test_leaks.py tests/test_hostile.py $(PYTEST_ARGS)

VALGRIND_TESTS ?= tests/stress
# Memory errors fail the run; leaks at exit are sorted out by valgrind_log.py
# (the interpreter leaves its own blocks behind).
VALGRIND_FLAGS := --tool=memcheck --error-exitcode=99 --track-origins=yes \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
  --num-callers=30 --suppressions=tests/stress/valgrind.supp --log-file=build/valgrind.log

valgrind: check-python $(VENV)/.installed
	@command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 1; }
	@mkdir -p build
	PYTHONMALLOC=malloc valgrind $(VALGRIND_FLAGS) $(VENV)/bin/python -m pytest -q \
	  -p no:cacheprovider $(VALGRIND_TESTS) $(PYTEST_ARGS); \
	status=$$?; $(VENV)/bin/python tests/stress/valgrind_log.py build/valgrind.log || status=1; \
	exit $$status
