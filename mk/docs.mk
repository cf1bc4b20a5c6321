# The documentation site: Sphinx with MyST pages (docs/), the API reference
# generated from the compiled module, pictures drawn by the build.
#
#   make docs       the static HTML site into docs/_build/html (open
#                   docs/_build/html/index.html; nothing is fetched from
#                   elsewhere when it is read); warnings are errors, so a
#                   renamed method, a missing page or a broken link fails
#
# The tools come from PyPI, pinned in docs/requirements.txt, in an environment
# of their own (build/venv-docs). The module is the one `make test` builds into
# .venv: only its package directory is put on the docs environment's path.
# SPHINXOPTS passes options to sphinx-build (SPHINXOPTS=-E rereads every page).

DOCS_VENV := build/venv-docs
DOCS_OUT := docs/_build/html
# The built package alone, without the rest of .venv's site-packages.
DOCS_MODULE_PATH := build/docs-module
SPHINXOPTS ?=

.PHONY: docs

# Reinstalled when the pins change.
$(DOCS_VENV)/.tools: docs/requirements.txt | check-python
	rm -rf $(DOCS_VENV)
	"$(PYTHON313)" -m venv $(DOCS_VENV)
	$(DOCS_VENV)/bin/python -m pip install -qq --disable-pip-version-check -r docs/requirements.txt
	touch $@

docs: check-python $(VENV)/.installed $(DOCS_VENV)/.tools
	@mkdir -p $(DOCS_MODULE_PATH)
	ln -sfn "$$($(VENV)/bin/python -c 'import zorvic, os; print(os.path.dirname(zorvic.__path__[0]))')/zorvic" $(DOCS_MODULE_PATH)/zorvic
	PYTHONPATH="$(abspath $(DOCS_MODULE_PATH))" $(DOCS_VENV)/bin/python -m sphinx -b html -n -W --keep-going -q \
	  $(SPHINXOPTS) docs $(DOCS_OUT)
	@echo "the site: $(DOCS_OUT)/index.html"
