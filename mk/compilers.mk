# The second compiler: the module built by Clang, with warnings as errors, in
# its own environment and build tree (build/venv-clang), and the whole suite
# run against it. GCC builds everything else (make test WERROR=1 in CI).
CLANG_VENV := build/venv-clang

.PHONY: clang
clang: check-python
	@command -v clang++ >/dev/null || { echo "clang++ is not installed (Debian: apt-get install clang)"; exit 1; }
	CC=clang CXX=clang++ $(MAKE) --no-print-directory VENV=$(CLANG_VENV) WERROR=1 test
