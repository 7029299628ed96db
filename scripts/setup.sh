#!/usr/bin/env bash
# Installs what Harvox needs to build and test on Debian 12; with --demo
# only what scripts/demo.sh builds and runs.  Skips apt-get when every
# package is already there.
set -euo pipefail
PACKAGES=(build-essential cmake libasio-dev libgtest-dev libgmock-dev googletest
          libbenchmark-dev direwolf clang socat iproute2 util-linux
          dpkg-dev logrotate
          # password hashes in USERS.INI
          libcrypt-dev
          # the status page (HTTP, JSON) and its test in a headless browser
          libmicrohttpd-dev nlohmann-json3-dev chromium
          # telling systemd the service is ready and alive (Type=notify)
          libsystemd-dev
          # the tray icon (harvox --tray)
          pkg-config libgtk-3-dev libayatana-appindicator3-dev
          # its desktop test: a headless X server, a private D-Bus, two panels
          # (StatusNotifierItem and XEmbed), clicks and screenshots
          xvfb dbus xfwm4 xfce4-panel trayer xdotool x11-utils imagemagick
          # the tray's help page (ZUNDRA.HTM), made from the manual page
          groff)
# The demo: Harvox (with its status page), the packet engines, the echo host.
DEMO=(build-essential cmake pkg-config libasio-dev libcrypt-dev direwolf socat
      libmicrohttpd-dev nlohmann-json3-dev)
if [ "${1:-}" = "--demo" ]; then PACKAGES=("${DEMO[@]}"); fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
