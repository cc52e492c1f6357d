#!/usr/bin/env bash
# Installs what a fresh Debian 12 or 13 machine lacks for continuous
# integration, in two stages so that the suite can run before the heavier
# tools arrive:
#
#   scripts/ci-setup.sh build         a C++ compiler, make, Python 3.13 with
#                                     venv and headers (enough for make test),
#                                     and Debian's UnicodeData.txt for one test
#   scripts/ci-setup.sh reliability   clang with libFuzzer, and valgrind
#                                     (for make reliability)
#
# Runs apt-get through sudo when not root.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
apt_updated=0
apt_install() {
    if [ $apt_updated = 0 ]; then as_root apt-get update -qq; apt_updated=1; fi
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "$@"
}

setup_build() {
    command -v g++ >/dev/null && command -v make >/dev/null || apt_install build-essential

    local python
    if ! python=$(scripts/find-python.sh 2>/dev/null); then
        # Debian 13 ships 3.13 as a package; older images rely on pyenv.
        apt_install python3.13 python3.13-venv python3.13-dev
        python=$(scripts/find-python.sh)
    fi
    # The tool's test on a real table reads Debian's UnicodeData.txt.
    [ -e /usr/share/unicode/UnicodeData.txt ] || apt_install unicode-data
    if ! "$python" -c 'import ensurepip, venv' 2>/dev/null; then
        apt_install python3.13-venv
    fi
    if ! "$python" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
        apt_install python3.13-dev
    fi
}

setup_reliability() {
    local clangxx
    clangxx=$(command -v clang++ || ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V | tail -1 || true)
    if [ -z "$clangxx" ]; then
        apt_install clang
        clangxx=$(command -v clang++)
    fi
    if [ -z "$(find "$("$clangxx" -print-resource-dir)" -name 'libclang_rt.fuzzer_no_main*.a' 2>/dev/null)" ]; then
        apt_install "libclang-rt-$("$clangxx" -dumpversion | cut -d. -f1)-dev"
    fi
    command -v valgrind >/dev/null || apt_install valgrind
}

case "${1:-}" in
    build) setup_build ;;
    reliability) setup_reliability ;;
    *) echo "usage: $0 build|reliability" >&2; exit 2 ;;
esac
