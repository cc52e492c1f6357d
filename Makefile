# Set-up and everyday jobs. Every target creates the virtual environment it
# needs on first use and reuses it afterwards; the extension is rebuilt only
# when a source or build file changed.
#
# `make help` lists the targets by group: a line "##@ Group" starts a group,
# and "target: ... ## what it does" describes a target (here and in mk/*.mk).

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SOURCES := $(shell find src python stubs -type f \( -name "*.cpp" -o -name "*.h" -o -name "*.py" -o -name "*.pyi" -o -name "py.typed" \)) CMakeLists.txt pyproject.toml
DEV_DEPS := requirements-dev.txt

.PHONY: help demo test ci reliability sanitize clean
.DEFAULT_GOAL := demo

# Phony targets that carry no description are listed at the end by name.
help: ## this list
	@awk 'BEGIN { FS = ":.*## " } \
		/^##@ / { printf "\n%s\n", substr($$0, 5); next } \
		/^\.PHONY:/ { for (i = 2; i <= split($$0, w, /[: ]+/); i++) phony[w[i]] = 1; next } \
		/^[a-zA-Z0-9_-]+:.*## / { printf "  %-18s %s\n", $$1, $$2; described[$$1] = 1 } \
		END { for (t in phony) if (!(t in described)) other = other " " t; \
			if (other != "") printf "\nOther targets\n %s\n", other }' $(MAKEFILE_LIST)

##@ Everyday

demo: $(VENV)/.built ## build the module into .venv and run examples/demo.py
	$(PY) examples/demo.py

test: $(VENV)/.built ## build the module into .venv and run the test suite
	$(PY) -m pytest -q tests

clean: ## remove build/ and every virtual environment
	rm -rf build $(VENV) $(SAN_VENV)

##@ Checks beyond the suite (run by continuous integration after `make test`)

ci: test reliability ## the suite, then every reliability job

reliability: ## sanitizers, debug allocator, portable build, fuzzing and memcheck, in turn
	$(MAKE) sanitize
	$(MAKE) test-debugmalloc
	$(MAKE) test-portable
	$(MAKE) fuzz FUZZ_SECONDS=$(CI_FUZZ_SECONDS)
	$(MAKE) fuzz-format FUZZ_SECONDS=$(CI_FORMAT_FUZZ_SECONDS)
	$(MAKE) valgrind

CI_FUZZ_SECONDS ?= 60
CI_FORMAT_FUZZ_SECONDS ?= 30

# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in
# a separate environment and runs the test suite against it.
sanitize: $(SAN_VENV)/.built ## the suite (and a fuzz pass) on an ASan+UBSan build in .venv-sanitize
	scripts/run-sanitized.sh $(SAN_PY) -m pytest -q -p no:cacheprovider tests


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

# Further jobs (fuzzing, memory checking, benchmarks, wheels and release
# checks) live in their own files.
-include mk/*.mk
