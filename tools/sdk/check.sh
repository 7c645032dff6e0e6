#!/usr/bin/env bash
# The SDK as an author meets it, from a configured and built tree:
#   tools/sdk/check.sh BUILD_DIR
# installs into a scratch prefix; checks the program directory against
# BUILD_DIR/bin and the headers (each compiles alone as C); builds the
# template's command library out of the tree with CMake and with pkg-config
# and runs its title with the installed runner and from a copy of the
# program directory; packs the default title and the template's for
# players, unpacks them elsewhere and runs them headless, comparing with the
# unpacked originals; then makes the Debian packages and runs lintian (no
# errors allowed) and apt's dry run of installing them.
set -euo pipefail
build=$(cd "${1:?usage: check.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mrv33-sdk.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
fail() {
  [ ! -s "$scratch/boxes" ] || cat "$scratch/boxes" >&2
  echo "sdk check: $*" >&2
  exit 1
}
export MRV_BACKEND=headless MRV_DIALOG_ANSWERS= MRV_WINDIR=$scratch/win
export MRV_RUNTIME_DIR=$scratch/run
mkdir -p "$MRV_WINDIR" "$MRV_RUNTIME_DIR"

echo "-- install"
cmake --install "$build" --prefix "$prefix" >/dev/null
diff <(ls "$build/bin") <(ls "$prefix/lib/mrv33") || fail "lib/mrv33 differs from build/bin"
for h in "$prefix"/include/mrv33/*.h; do
  echo "#include \"${h##*/}\"" | cc -std=c11 -Wall -Werror -fsyntax-only -I"$prefix/include/mrv33" \
    -x c - || fail "$h does not compile alone"
done

echo "-- the template, with CMake and with pkg-config"
expect="Hello, author!"
cp -r "$prefix/share/mrv33/template" "$scratch/cmake"
cmake -S "$scratch/cmake" -B "$scratch/cmake/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake/build" >/dev/null
got=$(cd "$scratch/cmake/title" && "$prefix/bin/mrv33")
[ "$got" = "$expect" ] || fail "the template built with CMake said: $got"
cp -r "$prefix/share/mrv33/template" "$scratch/pc"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig make -s -C "$scratch/pc" >/dev/null
got=$(cd "$scratch/pc/title" && "$prefix/bin/mrv33")
[ "$got" = "$expect" ] || fail "the template built with pkg-config said: $got"
# The library in a copy of the program directory is found by name.
cp -r "$prefix/lib/mrv33" "$scratch/progcopy"
cp "$scratch/pc/title/mylib.so" "$scratch/pc/title/mrv.def" "$scratch/progcopy/"
mkdir "$scratch/plain" && cp "$scratch/pc/title/MRV.SNA" "$scratch/plain/"
got=$(cd "$scratch/plain" && "$scratch/progcopy/mrv33")
[ "$got" = "$expect" ] || fail "the template from a copy of lib/mrv33 said: $got"

echo "-- titles packed for players"
# Each title runs in a copy of its folder as the author has it, then packed,
# unpacked elsewhere and started by its launcher: the same output and image.
run_packed() { # NAME FOLDER
  local name=$1 folder=$2 orig=$scratch/orig-$1 unpacked=$scratch/unpacked-$1
  cp -r "$folder" "$orig"
  # The titles' boxes go to standard error, kept for a failure.
  (cd "$orig" && "$prefix/bin/mrv33") >"$scratch/$name.orig" 2>>"$scratch/boxes" </dev/null
  "$prefix/bin/mrvpack" -o "$scratch/packs" "$folder" >/dev/null
  mkdir "$unpacked"
  tar -xzf "$scratch/packs/$name.tar.gz" -C "$unpacked"
  rm -rf "$scratch/packs/$name"
  ! compgen -G "$unpacked/$name/*.[sS][nN][aA]" >/dev/null || fail "$name: sources were packed"
  "$unpacked/$name/$name.sh" >"$scratch/$name.packed" 2>>"$scratch/boxes" </dev/null
  diff "$scratch/$name.orig" "$scratch/$name.packed" || fail "$name packed says something else"
  [ -s "$scratch/$name.orig" ] || fail "$name said nothing"
}
run_packed mrv "$prefix/share/mrv33/examples/mrv"
cmp "$scratch/orig-mrv/mrv.png" "$scratch/unpacked-mrv/mrv/mrv.png" ||
  fail "the packed default title drew another picture"
run_packed title "$scratch/pc/title"

echo "-- Debian packages"
rm -f "$build"/mrv33*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/mrv33_*.deb "$build"/mrv33-dev_*.deb)
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" || fail "lintian found errors"
apt-get install -s -qq "${debs[@]}" >/dev/null || fail "apt cannot install the packages"
echo "sdk check: all good"
