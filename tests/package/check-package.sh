#!/usr/bin/env bash
# Builds the Debian package from a build folder with CPack and checks it:
# file name, control data, contents and owners, the unit, the maintainer
# scripts, the copyright file, the executables' hardening, and that lintian
# reports no error and no hardening tag.
#   check-package.sh <build folder>
# Exit 77 (skipped) where dpkg-deb, dpkg-shlibdeps, lintian or
# hardening-check is missing.
set -euo pipefail
build=$(cd "$1" && pwd)
for tool in cpack dpkg-deb dpkg-shlibdeps lintian hardening-check; do
  command -v "$tool" >/dev/null || { echo "$tool not installed: skipped"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb="$work/out/brelvint_${version}_${arch}.deb"
[ -f "$deb" ] || { ls "$work/out"; fail "no $(basename "$deb")"; }
echo "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = brelvint ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for needed in adduser procps libc6 libsqlite3-0 libcurl4 libpugixml1v5 libsystemd0; do
  grep -q "\b$needed\b" <<<"$depends" || fail "Depends lacks $needed: $depends"
done

listing=$(dpkg-deb -c "$deb")
echo "$listing"
expect_entry() {  # mode owner path
  grep -qE "^$1 $2 .* \./$3\$" <<<"$listing" || fail "no $1 $2 ./$3"
}
expect_entry '-rwxr-xr-x' root/root usr/bin/brelvint
expect_entry '-rwxr-xr-x' root/root usr/bin/brelvint-probe
expect_entry '-rw-r--r--' root/root usr/lib/systemd/system/brelvint.service
expect_entry '-rw-r--r--' root/root usr/lib/systemd/system/brelvint@.service
for example in brelvint.conf example-network.conf prometheus.yml alert-rules.yml; do
  expect_entry '-rw-r--r--' root/root "usr/share/brelvint/examples/$example"
done
expect_entry '-rw-r--r--' root/root usr/share/doc/brelvint/copyright
expect_entry '-rw-r--r--' root/root etc/logrotate.d/brelvint
expect_entry '-rw-r--r--' root/root usr/share/man/man8/brelvint.8.gz
expect_entry '-rw-r--r--' root/root usr/share/man/man1/brelvint-probe.1.gz
# Nothing owned by anyone but root, nothing in the data folder: the
# maintainer scripts make it, owned by the service account.
! grep -v ' root/root ' <<<"$listing" | grep -q . || fail "an entry not owned by root"
! grep -q '\./var/' <<<"$listing" || fail "the package ships files under /var"

# The unit and the template for more servers, each on its own data folder,
# with the same sandbox.
check_unit() {  # unit file name, data folder, state directory, log file
  local name=$1 data=$2 state=$3 log=$4 unit line
  unit=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/lib/systemd/system/$name")
  for line in "User=brelvint" "ExecStart=/usr/bin/brelvint --data-dir $data --log-file $log" \
              "ReadWritePaths=$data" "Environment=HOME=$data" \
              "Type=notify" "WatchdogSec=30s" \
              "StateDirectory=$state" "StateDirectoryMode=0750" "LogsDirectory=brelvint" \
              "ProtectProc=invisible" "ProcSubset=pid" "SystemCallFilter=@system-service" \
              "SystemCallFilter=io_uring_setup io_uring_enter io_uring_register" \
              "SystemCallFilter=~@privileged @resources" "SystemCallArchitectures=native" \
              "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK" "RemoveIPC=yes"; do
    grep -qxF "$line" <<<"$unit" || fail "$name lacks: $line"
  done
  ! grep -q '^RestrictAddressFamilies=.*AF_PACKET' <<<"$unit" || fail "$name allows packet sockets"
  # A reload checks the files first and signals the server only if they load.
  [ "$(grep '^ExecReload=' <<<"$unit")" = "ExecReload=/usr/bin/brelvint --check --data-dir $data
ExecReload=/bin/kill -HUP \$MAINPID" ] || fail "$name's reload does not check first"
  printf '%s\n' "$unit" >"$work/$name"
}
check_unit brelvint.service /var/lib/brelvint brelvint /var/log/brelvint/brelvint.log
check_unit brelvint@.service /var/lib/brelvint/%i brelvint/%i /var/log/brelvint/%i.log

dpkg-deb -e "$deb" "$work/control"
grep -qxF /etc/logrotate.d/brelvint "$work/control/conffiles" || fail "logrotate file not a conffile"
logrotate=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./etc/logrotate.d/brelvint)
grep -qF '/var/log/brelvint/*.log {' <<<"$logrotate" || fail "logrotate names another file"
if command -v logrotate >/dev/null; then
  printf '%s\n' "$logrotate" | sed 's/^ *su .*//' >"$work/logrotate.conf"
  logrotate --debug "$work/logrotate.conf" >"$work/logrotate.out" 2>&1 ||
    { cat "$work/logrotate.out"; fail "logrotate does not accept the file"; }
fi
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -q 'adduser --system' "$work/control/postinst" || fail "postinst makes no system account"
grep -q 'install -d -o brelvint -g brelvint -m 0750 "$data"' "$work/control/postinst" ||
  fail "postinst does not give the data folder to the account"
grep -q 'rm -rf /var/lib/brelvint' "$work/control/postrm" || fail "postrm does not purge the data"
sed -n '/"purge"/,/^fi/p' "$work/control/postrm" | grep -q 'rm -rf' ||
  fail "the data is removed outside purge"

copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/brelvint/copyright)
grep -qxF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  <<<"$copyright" || fail "the copyright file is not in the machine-readable format"
for license in Expat BSD-2-clause; do
  grep -qxF "License: $license" <<<"$copyright" || fail "the copyright file lacks $license"
done
grep -q 'Vladimir Agafonkin' <<<"$copyright" || fail "the copyright file lacks Leaflet's notice"

# The build's hardening flags (cmake/Hardening.cmake) reach both executables.
# The sanitizers' build leaves _FORTIFY_SOURCE out, since they check the same
# calls their own way.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
[ "$(cache_value BRELVINT_HARDENING)" = ON ] || fail "the build folder is configured without BRELVINT_HARDENING"
hardening_skips=()
allowed_tags='^$'
if [ "$(cache_value BRELVINT_SANITIZE)" = ON ]; then
  hardening_skips=(--nofortify)
  allowed_tags='hardening-no-fortify-functions'
fi
dpkg-deb -x "$deb" "$work/root"
hardening-check "${hardening_skips[@]}" "$work/root/usr/bin/brelvint" \
  "$work/root/usr/bin/brelvint-probe" || fail "hardening-check"

# systemd's own parser, where it is installed (no running systemd needed):
# a misspelt option or value is a line on standard error, not a failure.
# The template is verified through an instance of it.
if command -v systemd-analyze >/dev/null; then
  mkdir "$work/units"
  for name in brelvint.service brelvint@.service; do
    sed "s|/usr/bin/brelvint|$work/root/usr/bin/brelvint|g" "$work/$name" >"$work/units/$name"
  done
  for name in brelvint.service brelvint@second.service; do
    verify=$(cd "$work/units" && systemd-analyze verify --man=no "$work/units/$name" 2>&1) &&
      [ -z "$verify" ] || { echo "$verify"; fail "systemd-analyze verify $name"; }
  done
  echo "systemd-analyze verify: both units parse cleanly"
fi

# lintian warns as it likes; an error, a hardening tag, a missing manual
# page or a file whose mode is not the standard one fails the package. Its
# informational tags are shown, since some hardening tags are among them.
lintian_out=$(lintian --fail-on error --display-level '>=info' "$deb" 2>&1) ||
  { echo "$lintian_out"; fail "lintian reports an error"; }
echo "lintian: ${lintian_out:-no tag}"
if grep -E ' (hardening-[a-z-]+|no-manual-page|non-standard-file-perm)( |$)' <<<"$lintian_out" | grep -vE "$allowed_tags"; then
  fail "lintian reports the tags above"
fi
echo "package checked"
