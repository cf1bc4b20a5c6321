# Stack-size sweep: deep recursion through the module's coroutines (send,
# close, throw, deallocation, a self-recursive status callback) in threads
# of 128 KB to 8 MB and in the main thread under stack limits of 1 to 8 MB,
# each case in a subprocess; every one must end in RecursionError or
# success, never in a signal (tests/test_stack_guard.py).
#
#   make stack-sweep           every size, on the .venv build
#   make stack-sweep-sanitize  the same under AddressSanitizer and UBSan
#
# `make test` runs the smallest size of each.

.PHONY: stack-sweep stack-sweep-sanitize

stack-sweep: check-python $(VENV)/.installed
	STACK_SWEEP=1 $(VENV)/bin/python -m pytest -v -p no:cacheprovider tests/test_stack_guard.py $(PYTEST_ARGS)

stack-sweep-sanitize: check-python $(SAN_VENV)/.installed
	STACK_SWEEP=1 $(SANITIZER_ENV) $(SAN_VENV)/bin/python -m pytest -v -p no:cacheprovider \
	  tests/test_stack_guard.py $(PYTEST_ARGS)
