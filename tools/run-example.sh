#!/usr/bin/env bash
# The engine's main job for now: compile the bundled example scenario with the
# compiling tool and print the listing of the compiled file.
set -euo pipefail
bin=${1:-build/bin}
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if [ ! -x "$bin/mrvc" ]; then
  echo "run: $bin/mrvc is not built" >&2
  exit 1
fi
"$bin/mrvc" "$here/examples/hello/MRV.SNA" -o "$out/MRV.SNB"
"$bin/mrvc" --list "$out/MRV.SNB"
