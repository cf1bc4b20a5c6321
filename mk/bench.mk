# Benchmarks: one table, every row measured in the same process run.
.PHONY: bench
bench: check-python $(VENV)/.installed
	$(VENV)/bin/python bench/run.py --markdown

# Instruction counts under callgrind (module, floor, plain), differenced over
# two sizes; the table also goes into bench/RESULTS.md.
.PHONY: bench-instructions
bench-instructions: check-python $(VENV)/.installed
	@command -v valgrind >/dev/null || { echo "valgrind is needed: apt-get install -y valgrind"; exit 1; }
	$(VENV)/bin/python bench/instructions.py --markdown
