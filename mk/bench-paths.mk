# stringify on the tables that stress a one-pass writer, and its page faults
# and memory on large results, against an earlier build of the module
# (bench/stringify_paths.py). OLD names a built extension to compare with;
# otherwise revision OLD_REV is built into build/old-REV/ first.
OLD_REV ?= 32029b7

.PHONY: bench-paths

bench-paths: $(VENV)/.built
	$(PY) bench/stringify_paths.py $(if $(OLD),--old $(OLD),--old-rev $(OLD_REV))
