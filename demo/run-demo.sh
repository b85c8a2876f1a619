#!/usr/bin/env bash
# Builds the Windows launcher and runs it under Wine in a fresh prefix. With DISPLAY set the
# window shows on that display; otherwise it runs on a private Xvfb and a screenshot is saved.
# Usage: demo/run-demo.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target KelvadonLauncher

state="$root/build/demo/wine"
home_dir='C:\users\Public\KelvadonDemo'
export KELVADON_WINE_STATE="$state"
if [ -n "${DISPLAY:-}" ]; then export KELVADON_WINE_DISPLAY="$DISPLAY"; fi
trap 'cmake/wine-run.sh --cleanup' EXIT
cmake/wine-run.sh --setup

echo "Running the launcher under Wine (InstallRoot $home_dir)..."
set +e
cmake/wine-run.sh build/windows/apps/launcher/KelvadonLauncher.exe --no-start --home "$home_dir" \
  --website "http://localhost:1"
code=$?
set -e
echo "The launcher ended with exit code $code."
