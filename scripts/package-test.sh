#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks the
# installed configuration, runs the installed program against the fake
# engine, then removes the package again.  Needs root (CI runs as root).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/tests/harvox_tests ] || { echo "build/ first (scripts/build.sh)"; exit 1; }
# The steps of the README's install guide, as written there.
deb=$(scripts/package.sh | tail -n 1)
echo "== package $deb ($(du -k "$deb" | cut -f1) KiB) =="
dpkg-deb --field "$deb" Depends Suggests
status=0
# The maintainer scripts install quietly: a warning there reaches every sysop.
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >"$deb.install.log" 2>&1 || status=1
if grep -i 'warn' "$deb.install.log"; then echo "warnings at install"; status=1; fi
echo "== harvox --check in /etc/harvox =="
(cd /etc/harvox && harvox --check) || status=1
echo "== as the service's user, as the README says =="
runuser -u harvox -- harvox --check /etc/harvox >/dev/null || status=1
# The example users are commented out: no login is open after installing.
if grep -Eq '^[[:space:]]*[^;[[:space:]][^=]*=' /etc/harvox/USERS.INI; then
  echo "USERS.INI as installed has an active login"; status=1
fi
# Every file under /etc, the texts for radio stations among them, is kept as
# configuration; the manual page and the changelog are compressed.
conffiles=$(dpkg-query -W -f='${Conffiles}' harvox)
for f in $(dpkg -L harvox | grep '^/etc/'); do
  [ -d "$f" ] || grep -q " $f " <<<"$conffiles" || { echo "$f is not a configuration file"; status=1; }
done
for f in /etc/harvox/TEXT/HELP.TNC /usr/share/man/man8/harvox.8.gz \
         /usr/share/doc/harvox/changelog.Debian.gz /usr/share/harvox/examples/ZUNDRA.HTM; do
  [ -f "$f" ] || { echo "$f not installed"; status=1; }
done
# The log folder: the service writes, group adm reads.
[ "$(stat -c '%U:%G %a' /var/log/harvox)" = "harvox:adm 2750" ] \
  || { echo "/var/log/harvox is $(stat -c '%U:%G %a' /var/log/harvox), not harvox:adm 2750"; status=1; }
logrotate -d /etc/logrotate.d/harvox >/dev/null 2>&1 || { echo "logrotate rejects its configuration"; status=1; }
if command -v systemd-analyze >/dev/null; then
  echo "== systemd-analyze verify =="
  systemd-analyze verify /usr/lib/systemd/system/harvox.service \
    /usr/lib/systemd/system/harvox-logrotate.service /usr/lib/systemd/system/harvox-logrotate.timer || status=1
fi
echo "== the installed program serves a Telnet login =="
HARVOX_PROGRAM=/usr/bin/harvox build/tests/harvox_tests --gtest_filter='Program.ServesATelnetLogin' \
  || status=1
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq harvox >/dev/null
if [ -e /usr/bin/harvox ] || [ -e /etc/harvox ] || [ -e /usr/lib/systemd/system/harvox.service ]; then
  echo "package removal left files behind"; status=1
fi
[ $status -eq 0 ] && echo "package test passed"
exit $status
