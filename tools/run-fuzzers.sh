#!/usr/bin/env bash
# Runs the fuzz targets of a build made with -DMRV_FUZZ=ON.
#
#   tools/run-fuzzers.sh BUILD_DIR [SECONDS] [TARGET...]
#
# Each target (all of BUILD_DIR/fuzz when none is named) runs SECONDS seconds
# (default 30), FUZZ_JOBS of them at a time (default 1), from its seed corpus in the tree (<library>/fuzz/corpus/<name>)
# and with its dictionary <library>/fuzz/<name>.dict when there is one;
# what it learns is kept in BUILD_DIR/fuzz-corpus/<target>, so a longer run
# continues where the last one stopped. An input that crashes, hangs (10 s)
# or leaves a memory block or a file descriptor behind is saved as
# BUILD_DIR/fuzz-findings/<target>/crash-* (or timeout-*), and the script
# ends with 1 after the end of the target's log (BUILD_DIR/fuzz-logs) is
# shown. Reproduce one with BUILD_DIR/fuzz/<target> <input>.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: tools/run-fuzzers.sh BUILD_DIR [SECONDS] [TARGET...]}
seconds=${2:-30}
shift $(($# < 2 ? $# : 2))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$build"/fuzz/*_fuzz; do targets+=("$(basename "$f")"); done
fi
# The scratch files of the targets stay inside the build tree.
mkdir -p "$build/fuzz-tmp" "$build/fuzz-logs"
export TMPDIR
TMPDIR=$(cd "$build/fuzz-tmp" && pwd)

# Runs one target; its log and exit status go to the log directory.
run() {
  local t=$1 lib=${1%%_*} name=${1#*_} status=0
  name=${name%_fuzz}
  mkdir -p "$build/fuzz-corpus/$t" "$build/fuzz-findings/$t"
  local dict=()
  [ -f "$lib/fuzz/$name.dict" ] && dict=(-dict="$lib/fuzz/$name.dict")
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 "${dict[@]}" \
    -artifact_prefix="$build/fuzz-findings/$t/" "$build/fuzz-corpus/$t" \
    "$lib/fuzz/corpus/$name" >"$build/fuzz-logs/$t.log" 2>&1 || status=$?
  echo "$status" >"$build/fuzz-logs/$t.status"
}

# FUZZ_JOBS targets at a time (default 1).
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "${FUZZ_JOBS:-1}" ]; do wait -n || true; done
  echo "-- $t: $seconds s"
  run "$t" &
done
wait

status=0
for t in "${targets[@]}"; do
  log=$build/fuzz-logs/$t.log
  if [ "$(cat "$build/fuzz-logs/$t.status")" != 0 ]; then
    # The end of the log without the boxes the inputs showed.
    grep -v '^\(\[\|(\|-> \)' "$log" | tail -60
    echo "-- $t failed; the input is in $build/fuzz-findings/$t"
    status=1
  else
    echo "-- $t: $(grep -E '^#[0-9]+ *DONE' "$log" || tail -1 "$log")"
  fi
done
exit $status
