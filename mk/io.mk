# Streaming benchmark: vorn_io's reader and writer against reading and
# writing whole documents (under a minute on two cores).
#
#   make bench-io    writes bench/results/io.md

.PHONY: bench-io

bench-io: $(VENV)/.built
	$(PY) bench/bench_io.py --out bench/results/io.md
