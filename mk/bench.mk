# Benchmarks: one table, every row measured in the same process run.
.PHONY: bench
bench: check-python $(VENV)/.installed
	$(VENV)/bin/python bench/run.py --markdown
