#!/usr/bin/env bash
# Installs the project the three ways a user does, from a built tree, and uses each installed
# copy with the build tree moved out of reach:
#   1. `cmake --install` into a temporary prefix: a C++ consumer found by find_package, the
#      installed vlntable and the installed Python package;
#   2. the wheel (`python3 -m build --wheel`) in a fresh virtual environment;
#   3. the Debian packages (`cpack -G DEB`) unpacked into a temporary root, and with --system
#      also installed for real by apt-get and removed again (root only; CI does this).
# Each Python check runs the README's example on a copy of the sample data, and finds no
# arvcore._testing (the tests' helper module) in the installed package.
#
# Usage: tests/install/run.sh [--system] [BUILD_DIR]   (BUILD_DIR: default build, fully built)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
system=0
if [ "${1:-}" = --system ]; then
  system=1
  shift
fi
build=$(realpath "${1:-build}")
py=/usr/bin/python3
sn=D2230E013-28
version=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
py_dir=$(sed -n 's/^ARVCORE_PYTHON_INSTALL_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
hidden="$build.out-of-reach"
installed_deb=0

cleanup() {
  if [ "$installed_deb" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq arvcore >/dev/null || true
  fi
  if [ -d "$hidden" ]; then mv "$hidden" "$build"; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "install test FAILED: $*" >&2
  exit 1
}
quietly() {  # runs a command, showing its output only when it fails
  "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "$*"; }
}

# The README's Python example, and a data directory of its own for each run.
awk '/^## Using it from Python/ {on = 1; next}
     on && /^    / {print substr($0, 5); seen = 1; next}
     on && seen && /^[^ ]/ {exit}
     on && /^$/ {print}' README.md >"$work/example.py"
grep -q CalibrationTableManager "$work/example.py" || fail "no Python example found in README.md"
fresh_files() {
  rm -rf "$work/files"
  cp -r examples/files "$work/files"
}

# Python check: the example runs, and arvcore comes from where it was installed.
check_python() {  # PYTHON EXPECTED_PACKAGE_DIR [ENV...]
  local python=$1 where=$2
  shift 2
  fresh_files
  (cd "$work" && env -u PYTHONPATH ARVCORE_FILES_DIR="$work/files" "$@" "$python" example.py \
    >"$work/example.out" 2>&1) || { cat "$work/example.out" >&2; fail "README example with $python"; }
  local got
  got=$(cd "$work" && env -u PYTHONPATH "$@" "$python" -c \
    'import arvcore, os; print(os.path.dirname(arvcore.__file__), arvcore.__version__)')
  [ "$got" = "$where $version" ] || fail "arvcore is '$got', expected '$where $version'"
  # The tests' helper module stays in the build tree.
  (cd "$work" && env -u PYTHONPATH "$@" "$python" -c \
    'import importlib.util, sys; sys.exit(importlib.util.find_spec("arvcore._testing") is not None)') ||
    fail "arvcore._testing is installed in $where"
}

# vlntable check: version, and one calibration table checked.
check_vlntable() {  # VLNTABLE
  [ "$("$1" --version)" = "vlntable $version" ] || fail "$1 --version: $("$1" --version)"
  fresh_files
  (cd "$work" && env -u PYTHONPATH "$1" cali check --files "$work/files" "$sn" 28 >/dev/null) ||
    fail "$1 cali check"
}

echo "== packing: cmake --install, wheel, Debian packages"
quietly cmake --install "$build" --prefix "$work/prefix"
quietly env ARVCORE_BUILD_DIR="$build" "$py" -m build --wheel --no-isolation --outdir "$work/dist" .
quietly cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb"
rm -rf "$root/build-wheel/setuptools"

mv "$build" "$hidden"

echo "== installed prefix"
if grep -rlI -e "$root" -e "$build" "$work/prefix"; then
  fail "installed text files name the source or build tree"
fi
# Installed programs find their libraries in the system's places, not through a run path.
for elf in "$work/prefix/bin/vlntable" "$work/prefix/$py_dir"/arvcore/_arvcore*.so; do
  if readelf -d "$elf" | grep -E 'RPATH|RUNPATH'; then fail "$elf has a run path"; fi
done
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
quietly cmake -S tests/install/consumer -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" "${launcher[@]}"
quietly cmake --build "$work/consumer"
fresh_files
out=$(ARVCORE_FILES_DIR="$work/files" "$work/consumer/consumer" "$sn" 28)
case "$out" in "arvcore $version DR {"*'"TX": ['*) ;; *) fail "consumer printed: $out" ;; esac
check_vlntable "$work/prefix/bin/vlntable"
check_python "$py" "$work/prefix/$py_dir/arvcore" PYTHONPATH="$work/prefix/$py_dir"

echo "== wheel in a fresh virtual environment"
wheels=("$work"/dist/arvcore-"$version"-*.whl)
[ -f "${wheels[0]}" ] || fail "no wheel arvcore-$version-*.whl in $(ls "$work/dist")"
# Every stub and typing marker of the package is in the wheel.
"$py" - "${wheels[0]}" python/arvcore <<'EOF' || fail "wheel contents"
import pathlib, sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
src = pathlib.Path(sys.argv[2])
wanted = {"arvcore/" + p.relative_to(src).as_posix() for p in src.rglob("*")
          if p.suffix in (".py", ".pyi") or p.name == "py.typed"}
wanted.add("arvcore/_version.py")
missing = wanted - names
if missing or not any(n.startswith("arvcore/_arvcore.") and n.endswith(".so") for n in names):
    sys.exit(f"missing from the wheel: {sorted(missing) or 'the extension'}")
if any(n.startswith("arvcore/_testing") for n in names):
    sys.exit("the tests' helper module arvcore._testing is in the wheel")
EOF
quietly "$py" -m venv "$work/venv"
quietly "$work/venv/bin/python" -m pip install --no-index --quiet "${wheels[0]}"
venv_site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
check_python "$work/venv/bin/python" "$venv_site/arvcore"

echo "== Debian packages"
arch=$(dpkg --print-architecture)
deb="$work/deb/arvcore_${version}_$arch.deb"
dev="$work/deb/arvcore-dev_${version}_$arch.deb"
[ -f "$deb" ] && [ -f "$dev" ] || fail "packages made: $(ls "$work/deb")"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libspdlog libfmt libc6 libstdc++6 python3; do
  [[ "$depends" == *"$lib"* ]] || fail "arvcore Depends lacks $lib: $depends"
done
contents=$(dpkg-deb -c "$dev")
for f in usr/lib/cmake/arvcore/arvcoreConfig.cmake usr/lib/libarvcore.a usr/include/arvcore/version.hpp; do
  [[ "$contents" == *"./$f"* ]] || fail "arvcore-dev lacks $f"
done
quietly apt-get install -s "$deb" "$dev"
dpkg -x "$deb" "$work/debroot"
check_vlntable "$work/debroot/usr/bin/vlntable"
check_python "$py" "$work/debroot/usr/lib/python3/dist-packages/arvcore" \
  PYTHONPATH="$work/debroot/usr/lib/python3/dist-packages"

if [ "$system" = 1 ]; then
  echo "== Debian package installed by apt-get"
  [ "$(id -u)" -eq 0 ] || fail "--system needs root"
  ! dpkg-query -W arvcore >/dev/null 2>&1 || fail "a package arvcore is installed already"
  installed_deb=1
  quietly env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb"
  [ "$(command -v vlntable)" = /usr/bin/vlntable ] || fail "vlntable on PATH: $(command -v vlntable)"
  check_vlntable vlntable
  check_python /usr/bin/python3 /usr/lib/python3/dist-packages/arvcore
fi
echo "install tests passed"
