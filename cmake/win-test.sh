#!/usr/bin/env bash
# Runs one Windows test program under Wine and decides its result: it passes only when it exits
# 0, prints a non-zero passed count and no failure. Skipped cases are listed at the end, so that
# they show in the test's output, and gathered in the run's skipped-cases.txt, which
# scripts/test-all prints after the run (CTest shows a passing test's output to nobody).
#   win-test.sh program.exe [args...]
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
state=${KELVADON_WINE_STATE:-$here/../build/windows/wine}
out=$(mktemp)
"$here/wine-run.sh" "$@" >"$out" 2>&1
rc=$?
cat "$out"
passed=$(grep -aE '^\[  PASSED  \] [0-9]+ tests?\.' "$out" | tail -n 1 | sed -E 's/^\[  PASSED  \] ([0-9]+).*/\1/')
failed=$(grep -acE '^\[  FAILED  \]' "$out")
skipped=$(grep -aE '^\[  SKIPPED \] [^0-9]' "$out" | sed -E 's/^\[  SKIPPED \] //' | tr -d '\r' |
  sed -E 's/ \([0-9]+ ms\)$//' | sort -u)
rm -f "$out"
if [ -n "$skipped" ]; then
  echo "== skipped cases:"
  echo "$skipped" | sed 's/^/   /'
  echo "$skipped" | sed "s/^/$(basename "$1" .exe): /" >>"$state/skipped-cases.txt"
fi
if [ "$rc" -ne 0 ]; then
  echo "== the test program exited with $rc"
  exit 1
fi
if [ "$failed" -ne 0 ] || [ -z "$passed" ] || [ "$passed" -eq 0 ]; then
  echo "== no passed cases, or a failure"
  exit 1
fi
exit 0
