# Shared set-up for the project's scripts: finds a CPython of 3.12 or later, installs the system
# packages the native tests need and prepares a virtual environment with the project installed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The Debian unstable root filesystem of scripts/debian-unstable, home of CPython 3.14 and 3.15.
debian_unstable=${BRINDLEX_CHROOT:-/var/cache/brindlex/debian-unstable}

# The first interpreter on PATH may be an old one; look for a 3.12+ in the usual places.
find_python() {
    local want=${1:-}
    local candidates=()
    if [ -n "$want" ]; then
        candidates+=("python$want" /usr/bin/python"$want" /usr/local/bin/python"$want")
        candidates+=("$HOME"/.pyenv/versions/"$want".*/bin/python3 /root/.pyenv/versions/"$want".*/bin/python3)
    else
        candidates+=(/usr/bin/python3 /usr/local/bin/python3 python3.13 python3.12 python3.14)
        # Newest first.
        local found
        found=$(ls -d "$HOME"/.pyenv/versions/3.1[2-9]*/bin/python3 /root/.pyenv/versions/3.1[2-9]*/bin/python3 \
            2>/dev/null | sort -r -V -u || true)
        [ -z "$found" ] || mapfile -t -O "${#candidates[@]}" candidates <<<"$found"
    fi
    local c
    for c in "${candidates[@]}"; do
        command -v "$c" >/dev/null 2>&1 || [ -x "$c" ] || continue
        if "$c" -c 'import sys, sysconfig, venv, os
ok = sys.version_info >= (3, 12) and sys.implementation.name == "cpython"
ok = ok and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)' 2>/dev/null; then
            command -v "$c" 2>/dev/null || echo "$c"
            return 0
        fi
    done
    echo "no CPython ${want:-3.12+} with headers and venv found" >&2
    return 1
}

# python_tag PYTHON: its major and minor version run together (313), which names its environments.
python_tag() {
    "$1" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")'
}

# GoogleTest for the C++ test program, from the distribution.
ensure_system_packages() {
    if [ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || \
       [ -f /usr/lib/cmake/GTest/GTestConfig.cmake ]; then
        return 0
    fi
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq g++ libgtest-dev >/dev/null
}

# make_venv DIR PYTHON [PIP-REQUIREMENTS...]: a fresh virtual environment with the build tools.
make_venv() {
    local dir=$1 python=$2
    shift 2
    [ -x "$dir/bin/python" ] || "$python" -m venv "$dir"
    "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    "$dir/bin/python" -m pip install -q --disable-pip-version-check \
        scikit-build-core nanobind cmake ninja pytest hypothesis "$@"
}

# One hash over every file the build of the module reads, so that an environment can tell whether
# the module installed in it was built from the sources as they are now.
source_hash() {
    (cd "$root" && find CMakeLists.txt pyproject.toml core module runtime brindlex-stubs brindlex_batch brindlex_stream -type f \
        | LC_ALL=C sort | xargs sha256sum) | sha256sum | cut -d' ' -f1
}

# record_build VENV: notes in VENV that its module was just built from the current sources.
record_build() {
    source_hash >"$1/.brindlex-source-hash"
}

# install_if_changed VENV: builds and installs the module into VENV unless it already holds a
# build of the current sources. Prints what it does.
install_if_changed() {
    local venv=$1
    if [ "$(cat "$venv/.brindlex-source-hash" 2>/dev/null)" = "$(source_hash)" ]; then
        echo "== brindlex in $venv is up to date with the sources"
        return 0
    fi
    echo "== building brindlex from $root into $venv (sources changed since the last build)"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
        --force-reinstall --no-deps "$root"
    record_build "$venv"
}

# sanitizer_env: the environment, one VAR=value a line, under which the tests run against a
# sanitizer build. The compiler's AddressSanitizer runtime is preloaded, since the interpreter
# itself is not instrumented and that runtime must come first. A report ends its process with
# status 1, which fails pytest itself or the test that started the process (those expect 0 or
# SIGABRT). Python allocates through malloc so that ASan sees its blocks; what the interpreter
# still holds at exit is no leak. The C++ library is preloaded right behind it: the interpreter
# does not link it, so without it ASan's interceptor of C++ throws finds no real one to call, and a
# C++ extension loaded later (matplotlib's, in the demo) aborts at its first exception.
sanitizer_env() {
    local libasan libstdcxx
    libasan=$(g++ -print-file-name=libasan.so)
    libstdcxx=$(readlink -f "$(g++ -print-file-name=libstdc++.so)")
    [ -f "$libasan" ] || { echo "no libasan.so next to g++" >&2; return 1; }
    [ -f "$libstdcxx" ] || { echo "no libstdc++.so next to g++" >&2; return 1; }
    echo "LD_PRELOAD=$libasan $libstdcxx"
    echo "ASAN_OPTIONS=detect_leaks=0"
    echo "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    echo "PYTHONMALLOC=malloc"
    echo "BRINDLEX_SANITIZED=1"
}

# apt_install PACKAGE...: installs from the distribution what is missing (as root, or through sudo).
apt_install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# arm64_python_headers VERSION DEST: the headers of CPython VERSION for ARM64 in DEST, from the ARM64
# root filesystem of scripts/debian-unstable, with Debian's pyconfig.h for ARM64 in place of the one
# that picks by architecture. Copied with their times kept, so that an unchanged header rebuilds
# nothing.
arm64_python_headers() {
    local version=$1 dest=$2 rootfs=$debian_unstable-arm64
    rm -rf "$dest"
    cp -rp "$rootfs/usr/include/python$version" "$dest"
    cp -p "$rootfs/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$dest/pyconfig.h"
}

# ARM64 programs run through qemu-user: Debian's static emulator, registered with the kernel's
# binfmt_misc (with the F flag, so that it runs inside a root filesystem too). Needs root.
register_qemu_aarch64() {
    apt_install qemu-user-static
    [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >/proc/sys/fs/binfmt_misc/register
}

# quietly COMMAND...: runs a step of a script with its output going to the file $log, printed
# whole if the step fails; with verbose=1 the output shows as it comes.
quietly() {
    if [ "${verbose:-0}" = 1 ]; then "$@"; return; fi
    set +e
    (set -e; "$@") >>"$log" 2>&1
    local status=$?
    set -e
    [ "$status" -ne 0 ] || return 0
    cat "$log" >&2
    echo "scripts/${0##*/}: '$*' failed with status $status (output above, kept in $log)" >&2
    exit "$status"
}
