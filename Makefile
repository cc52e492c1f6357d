# Set-up and everyday jobs. Every target creates the virtual environment it
# needs on first use and reuses it afterwards; the extension is rebuilt only
# when a source or build file changed.

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SOURCES := $(shell find src python stubs -type f \( -name "*.cpp" -o -name "*.h" -o -name "*.py" -o -name "*.pyi" -o -name "py.typed" \)) CMakeLists.txt pyproject.toml
DEV_DEPS := requirements-dev.txt

.PHONY: demo test sanitize clean

demo: $(VENV)/.built
	$(PY) examples/demo.py

test: $(VENV)/.built
	$(PY) -m pytest -q tests

# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in
# a separate environment and runs the test suite against it.
sanitize: $(SAN_VENV)/.built
	scripts/run-sanitized.sh $(SAN_PY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf build $(VENV) $(SAN_VENV)

$(VENV)/.deps: $(DEV_DEPS)
	scripts/make-venv.sh $(VENV)
	$(PY) -m pip install -q -r $(DEV_DEPS)
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

$(SAN_VENV)/.deps: $(DEV_DEPS)
	scripts/make-venv.sh $(SAN_VENV)
	$(SAN_PY) -m pip install -q -r $(DEV_DEPS)
	touch $@

$(SAN_VENV)/.built: $(SAN_VENV)/.deps $(SOURCES)
	$(SAN_PY) -m pip install -q --no-build-isolation --no-deps \
		-C cmake.define.VORN_SANITIZE=ON -C cmake.build-type=Debug \
		-C build-dir=build/sanitize .
	touch $@

# Further jobs (fuzzing, memory checking, benchmarks) live in their own files.
-include mk/*.mk
