#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter, or fails with a
# message saying where it looked. Checked in order: $PYTHON313, python3.13 on
# PATH (Debian 13), then pyenv's versions folder (the pyenv shim alone does not
# work when 3.13 is not the selected version, so the real binary is used).
set -u

works() {
    [ -n "$1" ] && [ -x "$1" ] &&
        "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1
}

if [ -n "${PYTHON313:-}" ] && works "$PYTHON313"; then
    echo "$PYTHON313"; exit 0
fi

candidate=$(command -v python3.13 2>/dev/null || true)
case "$candidate" in
    */shims/*) ;;  # pyenv shim: only trusted through the pyenv root below
    *) if works "$candidate"; then echo "$candidate"; exit 0; fi ;;
esac

roots=()
if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root)"); fi
roots+=("${PYENV_ROOT:-$HOME/.pyenv}")
for root in "${roots[@]}"; do
    for p in $(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r); do
        if works "$p"; then echo "$p"; exit 0; fi
    done
done

if works "$candidate"; then echo "$candidate"; exit 0; fi

echo "error: Python 3.13 not found. Looked for \$PYTHON313, python3.13 on PATH," >&2
echo "       and \$(pyenv root)/versions/3.13.*/bin/python3.13." >&2
echo "       On Debian 13: apt-get install python3.13 python3.13-venv python3.13-dev" >&2
exit 1
