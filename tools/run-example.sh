#!/usr/bin/env bash
# The engine's main job: runs the default title "mrv" of the program
# directory, in a window when a display is there (MRV_BACKEND chooses), else
# headless. The title prints what it does; headless it answers its own
# question (no person: the safe default). It saves its main window as mrv.png
# beside the program directory (build/mrv.png for build/bin).
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
if [ ! -x "$bin/mrv33" ]; then
  echo "run: $bin/mrv33 is not built" >&2
  exit 1
fi
cd "$bin/.."
backend=${MRV_BACKEND:-}
if [ -z "$backend" ]; then
  backend=headless
  [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && backend=sdl
fi
# On a display the person answers in the box; headless nobody does.
[ "$backend" = sdl ] || export MRV_DIALOG_ANSWERS=${MRV_DIALOG_ANSWERS-}
status=0
"$bin/mrv33" mrv </dev/null || status=$?
if [ $status -ne 0 ]; then
  echo "run: mrv33 ended with $status" >&2
  exit $status
fi
echo "run: the main window is in $(pwd)/mrv.png"
