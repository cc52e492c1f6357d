#!/usr/bin/env bash
# Runs a command with the sanitizer runtimes preloaded into the interpreter,
# which itself is not built with them. The interpreter's own allocator is
# switched to the system one so that AddressSanitizer sees every allocation;
# leak reports are off because the interpreter keeps memory until exit.
set -euo pipefail
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan:$ubsan${LD_PRELOAD:+:$LD_PRELOAD}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$@"
