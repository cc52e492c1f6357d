# Benchmarks on pyperf: bench/README.md tells what each suite measures, how to
# compare two revisions and how to add a benchmark.
#
#   make bench [QUICK=1] [BENCH_SUITES="codec io"]   run suites, then the tables
#   make bench-report                               the tables from saved results
#   make bench-compare REF=old/results               pyperf compare_to, suite by suite
#   make bench-cli [CLI_MIB=200]                     the vorn command's time and memory

BENCH_SUITES ?= codec writer io memory calls
BENCH_OUT ?= bench/results
# pyperf's own defaults (20 processes of 3 values) would take hours here; two
# worker processes of two values each, after pyperf's calibration, keep
# `make bench` near six minutes on two quiet cores. QUICK=1: one process.
BENCH_OPTS ?= --processes $(if $(QUICK),1,2) --values 2 --warmups 1
CLI_MIB ?= 200

##@ Benchmarks

.PHONY: bench bench-io bench-report bench-compare bench-cli bench-arrow

bench: $(VENV)/.bench-built ## run BENCH_SUITES under pyperf into bench/results/, then write bench/README.md's tables
	mkdir -p $(BENCH_OUT)
	for suite in $(BENCH_SUITES); do \
		echo "== $$suite"; rm -f $(BENCH_OUT)/$$suite.json.tmp; \
		$(PY) bench/run.py $$suite $(BENCH_OPTS) --quiet -o $(BENCH_OUT)/$$suite.json.tmp && \
		mv $(BENCH_OUT)/$$suite.json.tmp $(BENCH_OUT)/$$suite.json || exit 1; \
	done
	$(PY) bench/report.py $(BENCH_OUT)

bench-io: ## the streaming suites only (vorn_io against whole documents, time and memory)
	$(MAKE) bench BENCH_SUITES="io memory"

bench-report: $(VENV)/.bench-deps ## write bench/README.md's tables and README.md's summary from bench/results/
	$(PY) bench/report.py $(BENCH_OUT)

bench-compare: $(VENV)/.bench-deps ## REF=folder of another run's results: each suite's changes, by pyperf compare_to
	@test -n "$(REF)" || { echo "usage: make bench-compare REF=folder/of/results"; exit 1; }
	for f in $(REF)/*.json; do \
		test -f $(BENCH_OUT)/$$(basename $$f) || continue; \
		$(PY) -m pyperf compare_to $$f $(BENCH_OUT)/$$(basename $$f) --table --min-speed 2; \
	done

bench-cli: $(VENV)/.built ## time and peak memory of the vorn command on a CSV of CLI_MIB MiB
	$(PY) bench/cli_memory.py --size $(CLI_MIB) --out $(BENCH_OUT)/cli.md

$(VENV)/.bench-deps: $(VENV)/.deps requirements-bench.txt
	$(PY) -m pip install -q -r requirements-bench.txt
	touch $@

# The module built with the floor module beside it, in a build folder of its
# own; the same build passes for the plain one, so `make test` keeps it.
$(VENV)/.bench-built: $(VENV)/.bench-deps $(SOURCES) bench/floor/_vornfloor.c
	$(PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/bench \
		-C cmake.define.VORN_BENCH_FLOOR=ON .
	touch $@ $(VENV)/.built

bench-arrow: $(VENV)/.built ## the columnar path against pyarrow, polars, DuckDB and pandas (bench/results/arrow.md)
	$(PY) bench/bench_arrow.py --repeat 5 -o bench/results/arrow.md
