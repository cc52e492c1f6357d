#!/usr/bin/env bash
# Creates the virtual environment $1 with Python 3.13 unless it already works.
set -euo pipefail
venv=$1
if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    exit 0
fi
here=$(cd "$(dirname "$0")" && pwd)
python=$("$here/find-python.sh")
rm -rf "$venv"
if ! "$python" -m venv "$venv"; then
    echo "error: '$python -m venv' failed; on Debian install python3.13-venv" >&2
    exit 1
fi
"$venv/bin/python" -m pip install -q --upgrade pip
