#!/usr/bin/env bash
# The first-install road end to end: publishes the sample client on a local website (nginx,
# slowed so the install lasts a few seconds), makes a setup program for that website with a play
# token, and runs it under Wine in a fresh prefix. Then publishes a newer version and runs the
# installed launcher again to show the update, checks the registration, opens a Play link
# through Windows, and uninstalls with Yes pressed on the question.
#
# With DISPLAY set the windows show on that display; otherwise they run on a private Xvfb and the
# progress window and the sample player's window are saved as PNG files.
# Exits non-zero when any step fails (the player not starting included).
# Usage: demo/run-demo.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The preset folders, unless a developer points the demo at others.
windows_build=${KELVADON_DEMO_WINDOWS_BUILD:-build/windows}
linux_build=${KELVADON_DEMO_LINUX_BUILD:-build/linux}
demo=${KELVADON_DEMO_STATE:-$root/build/demo}

echo "== Building (Windows launcher and sample client, Linux kelvadon-publish)"
cmake --preset windows -B "$windows_build" >/dev/null
cmake --build "$windows_build" -j2 --target KelvadonLauncher sample_client demo_camera
cmake --preset linux -B "$linux_build" >/dev/null
cmake --build "$linux_build" -j2 --target kelvadon-publish

publish=$linux_build/apps/publisher/kelvadon-publish
key=$windows_build/release-key/test-release-private.pem
launcher=$windows_build/apps/launcher/KelvadonLauncher.exe
sample=$windows_build/demo/sample_client.exe
camera=$windows_build/demo/demo_camera.exe
site="$demo/site"
export KELVADON_WINE_STATE="$demo/wine"
if [ -n "${DISPLAY:-}" ]; then export KELVADON_WINE_DISPLAY="$DISPLAY"; fi

# A Linux path as a program under Wine names it (the prefix maps / to Z:).
windows_path() { echo "Z:${1//\//\\}"; }

nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  cmake/wine-run.sh --cleanup || true
}
trap cleanup EXIT

rm -rf "$site" "$demo/Downloads" "$demo/shots" "$demo/client-"*
mkdir -p "$site/www" "$site/tmp" "$demo/Downloads" "$demo/shots"

publish_version() {
  local version=$1 client="$demo/client-$1"
  mkdir -p "$client"
  cp "$sample" "$client/kelvadon_player.exe"
  cp "$sample" "$client/kelvadon_studio.exe"
  echo "Sample client $version" >"$client/readme.txt"
  "$publish" publish --client "$client" --version "$version" --private-key "$key" \
    --website "$site/www" --launcher "$launcher" >/dev/null
  echo "Published version $version into $site/www"
}

echo "== Publishing the sample client"
publish_version 1.0

# About six seconds for the whole client.
bytes=$(du -cb "$demo/client-1.0" | tail -1 | cut -f1)
rate=$((bytes / 6 / 1024 + 1))k
port=$(python3 -c \
  'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
website="http://127.0.0.1:$port"
# Debian's workers would run as nobody, who may not read a checkout in a private folder (a
# temporary folder made by mktemp, say): every answer would be 403.
cat >"$site/nginx.conf" <<EOF
daemon off;
user root;
worker_processes 1;
pid $site/nginx.pid;
error_log $site/error.log;
events { worker_connections 64; }
http {
  access_log $site/access.log;
  client_body_temp_path $site/tmp/client_body;
  proxy_temp_path $site/tmp/proxy;
  fastcgi_temp_path $site/tmp/fastcgi;
  uwsgi_temp_path $site/tmp/uwsgi;
  scgi_temp_path $site/tmp/scgi;
  types { application/json json; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $site/www;
    limit_rate $rate;
    include $root/deploy/nginx/kelvadon-client.conf;
    location = /client/started { return 200; }
    location = /client/join {
      return 200 "kelvadon://join?play=\$arg_play&origin=http://\$http_host\n";
    }
  }
}
EOF
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx_bin" -p "$site/" -e "$site/error.log" -c "$site/nginx.conf" </dev/null \
  >"$site/nginx.out" 2>&1 &
nginx_pid=$!
for _ in $(seq 1 50); do
  curl -s -o /dev/null "$website/client/started" && break
  sleep 0.1
done
echo "The website runs at $website, $rate a second per download"

token=$(python3 -c 'import secrets; print(secrets.token_hex(16))')
setup="$demo/Downloads/KelvadonSetup.exe"
"$publish" setup --launcher "$launcher" --website "$website" --play "$token" --out "$setup" \
  --allow-http \
  >/dev/null
echo "Made $setup (website $website, play token $token)"

echo "== A fresh Wine prefix"
cmake/wine-run.sh --setup
prefix="$KELVADON_WINE_STATE/prefix"
sample_log="$demo/sample-log.txt"
rm -f "$sample_log"
export KELVADON_SAMPLE_LOG
KELVADON_SAMPLE_LOG=$(windows_path "$sample_log")
export KELVADON_SAMPLE_WINDOW=8

echo "== Running the setup program, as a user would from Downloads"
set +e
cmake/wine-run.sh "$camera" shoot "$(windows_path "$demo/shots")" \
  "$(windows_path "$setup")"
code=$?
set -e
failed=0
expected_link="kelvadon://join?play=$token&origin=$website"
if [ "$code" -ne 0 ]; then
  echo "FAILED: the setup program ended with code $code."
  failed=1
elif grep -qxF "argument: $expected_link" "$sample_log" 2>/dev/null; then
  echo "OK: the player started with $expected_link"
else
  echo "FAILED: the player did not start with the join link."
  cat "$sample_log" 2>/dev/null || true
  failed=1
fi
for shot in progress player; do
  [ -f "$demo/shots/$shot.png" ] && echo "Screenshot: $demo/shots/$shot.png"
done

install_root=$(find "$prefix/drive_c/users" -maxdepth 5 -type d -path '*/AppData/Local/Kelvadon' \
  2>/dev/null | head -1)
if [ -z "$install_root" ] || [ "$(head -1 "$install_root/current.txt" 2>/dev/null)" != 1.0 ]; then
  echo "FAILED: version 1.0 is not installed in the prefix's InstallRoot."
  exit 1
fi
echo "OK: version 1.0 installed in $install_root"
[ "$failed" -eq 0 ] || exit 1

echo "== Publishing version 1.1 and running the installed launcher again"
publish_version 1.1
unset KELVADON_SAMPLE_WINDOW
set +e
cmake/wine-run.sh "$install_root/KelvadonLauncher.exe" --no-start
code=$?
set -e
current=$(head -1 "$install_root/current.txt" 2>/dev/null || true)
if [ "$code" -eq 0 ] && [ "$current" = 1.1 ]; then
  echo "OK: the installed launcher updated Kelvadon to 1.1"
else
  echo "FAILED: the update ended with code $code and current version '$current'."
  exit 1
fi

echo "== The registration: links, documents and the uninstall entry"
if cmake/wine-run.sh reg query 'HKCU\Software\Classes\kelvadon\shell\open\command' >/dev/null &&
  cmake/wine-run.sh reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvadon' \
    >/dev/null; then
  echo "OK: kelvadon: links and the uninstall entry are registered"
else
  echo "FAILED: the launcher did not register with Windows."
  exit 1
fi

echo "== A Play click: Windows opens the link with the registered command"
token=$(python3 -c 'import secrets; print(secrets.token_hex(16))')
link="kelvadon://join?play=$token&origin=$website"
# Wine 8 looks link handlers up in the machine's classes only, where Windows also reads the
# user's: the demo mirrors the user's key there for this step and takes the mirror away after.
machine_key='HKLM\Software\Classes\kelvadon'
cmake/wine-run.sh reg copy 'HKCU\Software\Classes\kelvadon' "$machine_key" /s /f >/dev/null
cmake/wine-run.sh start "$link"
started=""
for _ in $(seq 1 150); do
  if grep -qxF "argument: $link" "$sample_log" 2>/dev/null; then started=yes; break; fi
  sleep 0.2
done
if [ -n "$started" ] && grep -q "/client/started?play=$token" "$site/access.log"; then
  echo "OK: the website counted the click and the player started with $link"
  cmake/wine-run.sh reg delete "$machine_key" /f >/dev/null
else
  echo "FAILED: the Play link did not reach the player."
  exit 1
fi

echo "== The uninstall, answered Yes"
# The launcher and the player of the Play click may still be ending; a running program's folder
# cannot be removed, so wait until nothing runs from the install.
for _ in $(seq 1 100); do
  pgrep -f 'AppData.Local.Kelvadon.' >/dev/null || break
  sleep 0.2
done
set +e
cmake/wine-run.sh "$camera" answer yes "$(windows_path "$install_root/KelvadonLauncher.exe")" \
  --uninstall
code=$?
set -e
for _ in $(seq 1 100); do
  [ -e "$install_root/KelvadonLauncher.exe" ] || break
  sleep 0.2
done
if [ "$code" -ne 0 ] || [ -e "$install_root/Versions" ] ||
  [ -e "$install_root/KelvadonLauncher.exe" ]; then
  echo "FAILED: the uninstall ended with code $code and left $(ls "$install_root" | tr '\n' ' ')"
  exit 1
fi
if cmake/wine-run.sh reg query 'HKCU\Software\Classes\kelvadon' >/dev/null 2>&1 ||
  cmake/wine-run.sh reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvadon' \
    >/dev/null 2>&1; then
  echo "FAILED: Kelvadon is still registered after the uninstall."
  exit 1
fi
echo "OK: Kelvadon is off the prefix: no versions, no launcher, no registration"
echo "The demo ran to its end in $SECONDS seconds."
