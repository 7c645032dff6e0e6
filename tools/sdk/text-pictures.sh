#!/usr/bin/env bash
# Renders the pictures of the text output sequences in docs/authors.md with
# the real engine, headless: each scenario below opens a 160 x 48 window
# (20 x 3 cells of 8 x 16 pixels, white on black), writes its text with
# MRVWIN:TEXT and saves the window as docs/text-NAME.png.
#   tools/sdk/text-pictures.sh [PROGRAM_DIR]     (default: build/bin)
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "${1:-$src/build/bin}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/mrv33-pictures.XXXXXX")
trap 'rm -rf "$work"' EXIT
picture() { # NAME SCENARIO-TEXT (UTF-8)
  printf 'MRVWIN:OPEN(160, 48, "%s");\n%s\nMRVWIN:SAVE("%s.png");\n' "$1" "$2" "$1" |
    iconv -f UTF-8 -t CP932 >"$work/PIC.SNA"
  (cd "$work" && MRV_BACKEND=headless MRV33_PROGRAM_DIR=$bin "$src/tools/sdk/mrv33" PIC)
  mv "$work/$1.png" "$src/docs/text-$1.png"
}
picture colour 'MRVWIN:TEXT("@C[31,0,0]red @C[0,31,0]green @C[0,0,31]blue@L@C[31,31,0]こんにちは");'
picture clear 'MRVWIN:TEXT("gone@E[0,0,16]@C[31,31,31]on blue");'
picture position 'MRVWIN:TEXT("@P[6,1]here@P[0,2]and here");'
picture newline 'MRVWIN:TEXT("one@Ltwo@L  three");'
picture variable '$1 = 42; $2 = "world"; $3 = 1.5;
MRVWIN:TEXT("$1 is @V[1]@L$2 is @V[2]@L$3 is @V[3]");'
picture wrap 'MRVWIN:TEXT("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ@Lthe fourth row scrolls");'
echo "pictures: $src/docs/text-*.png"
