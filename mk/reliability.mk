# Reliability jobs: fuzzing, the test suite under the interpreter's debug
# allocator, and memcheck.
#
#   make fuzz [FUZZ_SECONDS=600]   coverage-guided differential fuzzing of parse
#                                  and stringify (atheris, module built with
#                                  clang coverage in .venv-fuzz), then a replay
#                                  of the corpus against the ASan+UBSan build
#   make fuzz-format               libFuzzer on the interpreter-free format code
#   make sanitize                  also fuzzes the ASan+UBSan build (replay of
#                                  the corpus, then seeded random inputs)
#   make test-debugmalloc          the suite with PYTHONMALLOC=debug
#   make test-portable             the writer's, parser's, partitioner's, UTF-16
#                                  counter's and columnar (UTF-8 check) tests on a build without SIMD paths,
#                                  then 30 s of the random driver (partitions
#                                  included) on it [PORTABLE_FUZZ_SECONDS=30]
#   make valgrind                  most of the suite under memcheck; fails on any
#                                  invalid access or definite leak involving the
#                                  module (VALGRIND_TESTS=tests for all of it)
#
# Without clang or atheris, `make fuzz` runs the harness's seeded random driver
# against the ASan+UBSan build instead.

.PHONY: fuzz fuzz-format sanitize-fuzz test-debugmalloc test-portable valgrind clean-fuzz

FUZZ_SECONDS ?= 60
SANITIZE_FUZZ_SECONDS ?= 30
PORTABLE_FUZZ_SECONDS ?= 30
FUZZ_SEED ?= 1
FUZZ_VENV := .venv-fuzz
FUZZ_PY := $(FUZZ_VENV)/bin/python
FUZZ_DEPS := requirements-fuzz.txt
FUZZ_WORK := build/fuzz
FUZZ_DIRS := fuzz/corpus fuzz/seeds fuzz/regressions
CLANGXX ?= $(firstword $(shell command -v clang++ 2>/dev/null; ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V -r))
# A representative part of the suite: memcheck runs it about fifty times slower,
# so the long randomised runs and the multi-megabyte inputs are left out.
VALGRIND_TESTS ?= tests/test_parse.py tests/test_decoder.py tests/test_stringify.py tests/test_binding.py tests/test_reliability.py tests/test_hostile.py \
	tests/test_arrow.py \
	-k "not random_text and not mutated_documents and not round_trip and not large_inputs and not million \
	and not memory_taken and not validator_against and not read_equals_parse"
VALGRIND_FLAGS := --tool=memcheck --leak-check=full --show-leak-kinds=definite \
	--errors-for-leak-kinds=definite --num-callers=40

##@ Reliability jobs (mk/reliability.mk)

# --- Coverage-guided fuzzing -------------------------------------------------------

$(FUZZ_VENV)/.deps: $(DEV_DEPS) $(FUZZ_DEPS)
	scripts/make-venv.sh $(FUZZ_VENV)
	$(FUZZ_PY) -m pip install -q -r $(DEV_DEPS)
	$(FUZZ_PY) -m pip install -q -r $(FUZZ_DEPS) || echo "atheris did not install"
	touch $@

# The module with clang's coverage instrumentation, whose hooks libFuzzer
# provides; a plain build where clang is missing.
$(FUZZ_VENV)/.built: $(FUZZ_VENV)/.deps $(SOURCES)
	$(FUZZ_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/fuzz-ext \
		$(if $(CLANGXX),-C cmake.define.CMAKE_CXX_COMPILER=$(CLANGXX) \
			-C cmake.define.CMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link) .
	touch $@

# libFuzzer as a shared library, preloaded so that the instrumented module
# finds its hooks when it loads; atheris then uses it as its engine.
$(FUZZ_WORK)/libfuzzer.so:
	mkdir -p $(FUZZ_WORK)
	archive=$$(find "$$($(CLANGXX) -print-resource-dir)" -name 'libclang_rt.fuzzer_no_main*.a' | \
		grep -v i386 | head -1); \
	test -n "$$archive" || { echo "libFuzzer not found (Debian: apt-get install libclang-rt-N-dev)"; exit 1; }; \
	$(CLANGXX) -shared -o $@ -Wl,--whole-archive "$$archive" -Wl,--no-whole-archive -lpthread -ldl

# Seeded random inputs against the ASan+UBSan build, after a replay of every
# stored input ($(1): seconds of random inputs).
fuzz_sanitized = mkdir -p $(FUZZ_DIRS) $(FUZZ_WORK) && scripts/run-sanitized.sh $(SAN_PY) fuzz/vorn_fuzz.py \
	--random --seconds $(1) --seed $(FUZZ_SEED) --artifacts $(FUZZ_WORK) $(FUZZ_DIRS)

fuzz: $(SAN_VENV)/.built $(if $(CLANGXX),$(FUZZ_VENV)/.built $(FUZZ_WORK)/libfuzzer.so) ## coverage-guided fuzzing of parse and stringify [FUZZ_SECONDS=60]
	mkdir -p $(FUZZ_DIRS) $(FUZZ_WORK)
	if [ -n "$(CLANGXX)" ] && $(FUZZ_PY) -c 'import atheris' 2>/dev/null; then \
		env LD_PRELOAD=$(CURDIR)/$(FUZZ_WORK)/libfuzzer.so $(FUZZ_PY) fuzz/vorn_fuzz.py \
			-max_total_time=$(FUZZ_SECONDS) -seed=$(FUZZ_SEED) -timeout=60 -rss_limit_mb=4096 \
			-print_final_stats=1 -artifact_prefix=$(FUZZ_WORK)/ $(FUZZ_DIRS) 2>&1 | \
			tee $(FUZZ_WORK)/atheris.log | grep -Ev '^(#[0-9]|[[:space:]]NEW_FUNC)'; \
		test $${PIPESTATUS[0]} = 0 && $(call fuzz_sanitized,0); \
	else \
		echo "clang or atheris missing: the random driver runs on the sanitizer build"; \
		$(call fuzz_sanitized,$(FUZZ_SECONDS)); \
	fi

sanitize-fuzz: $(SAN_VENV)/.built ## seeded random inputs against the ASan+UBSan build
	$(call fuzz_sanitized,$(SANITIZE_FUZZ_SECONDS))

# The sanitizer job fuzzes the same build before it runs the suite.
sanitize: sanitize-fuzz

$(FUZZ_WORK)/format_fuzz: fuzz/format_fuzz.cpp src/format/format.h src/format/utf16.h
	@test -n "$(CLANGXX)" || { echo "clang++ not found (Debian: apt-get install clang libclang-rt-14-dev)"; exit 1; }
	mkdir -p $(FUZZ_WORK)
	$(CLANGXX) -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
		-Isrc $< -o $@

fuzz-format: $(FUZZ_WORK)/format_fuzz ## libFuzzer on the interpreter-free format code
	mkdir -p $(FUZZ_WORK)/format-corpus
	$< -max_total_time=$(FUZZ_SECONDS) -seed=$(FUZZ_SEED) -print_final_stats=1 \
		-artifact_prefix=$(FUZZ_WORK)/ $(FUZZ_WORK)/format-corpus 2>&1 | \
		tee $(FUZZ_WORK)/format.log | grep -Ev '^(#[0-9]|[[:space:]]NEW_FUNC)'; test $${PIPESTATUS[0]} = 0

# --- The portable kernels ------------------------------------------------------------

# The module built without its SIMD paths (as on a machine that lacks them),
# installed into build/portable-site, and the tests of the writer, the parser,
# the partitioner and the UTF-16 counter run against it: the counter's
# differential tests then check the plain fallback, and the fuzz harness
# compares its partitions, parse and Decoder with the model and each other.
PORTABLE_SITE := build/portable-site

$(PORTABLE_SITE)/.built: $(VENV)/.deps $(SOURCES)
	rm -rf $(PORTABLE_SITE)
	$(PY) -m pip install -q --no-build-isolation --no-deps -C cmake.define.CMAKE_CXX_FLAGS=-DVORN_NO_SIMD \
		-C build-dir=build/portable --target $(PORTABLE_SITE) .
	touch $@

test-portable: $(PORTABLE_SITE)/.built ## the codec's and partitioner's tests on a build without SIMD paths
	PYTHONPATH=$(PORTABLE_SITE) $(PY) -m pytest -q -p no:cacheprovider tests/test_stringify.py \
		tests/test_stringify_writer.py tests/test_hostile.py tests/test_parse.py tests/test_decoder.py \
		tests/test_partitions.py tests/test_partitions_text.py tests/test_utf16_count.py tests/test_text_classes.py \
		tests/test_arrow.py
	mkdir -p $(FUZZ_WORK)
	PYTHONPATH=$(PORTABLE_SITE) $(PY) fuzz/vorn_fuzz.py --random --seconds $(PORTABLE_FUZZ_SECONDS) \
		--seed $(FUZZ_SEED) --artifacts $(FUZZ_WORK) fuzz/seeds fuzz/regressions

# --- Allocators and memcheck --------------------------------------------------------

test-debugmalloc: $(VENV)/.built ## the suite with PYTHONMALLOC=debug
	PYTHONMALLOC=debug $(PY) -m pytest -q -p no:cacheprovider tests

valgrind: $(VENV)/.built ## most of the suite under memcheck [VALGRIND_TESTS=tests for all]
	@command -v valgrind >/dev/null || { echo "valgrind not found (Debian: apt-get install valgrind)"; exit 1; }
	rm -rf build/valgrind && mkdir -p build/valgrind
	PYTHONMALLOC=malloc VORN_NO_POOL=1 valgrind $(VALGRIND_FLAGS) --log-file=build/valgrind/memcheck.%p.log \
		$(PY) -m pytest -q -p no:cacheprovider $(VALGRIND_TESTS)
	$(PY) fuzz/memcheck_report.py build/valgrind/memcheck.*.log

clean-fuzz: ## remove the fuzzing environment
	rm -rf $(FUZZ_VENV)

clean: clean-fuzz
