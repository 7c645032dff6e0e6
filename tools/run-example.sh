#!/usr/bin/env bash
# The engine's main job: runs the default title "mrv" of the program
# directory headless. The title prints what it does, answers its own question
# (no person: the safe default) and saves its main window as mrv.png beside
# the program directory (build/mrv.png for build/bin).
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
if [ ! -x "$bin/mrv33" ]; then
  echo "run: $bin/mrv33 is not built" >&2
  exit 1
fi
cd "$bin/.."
export MRV_DIALOG_ANSWERS=${MRV_DIALOG_ANSWERS-}
status=0
"$bin/mrv33" mrv </dev/null || status=$?
if [ $status -ne 0 ]; then
  echo "run: mrv33 ended with $status" >&2
  exit $status
fi
echo "run: the main window is in $(pwd)/mrv.png"
