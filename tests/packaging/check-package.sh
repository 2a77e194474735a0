#!/usr/bin/env bash
# Checks the two Debian packages and the install rules of a release build:
#   check-package.sh BUILD_DIR     (after `cpack` in BUILD_DIR)
# tarvix-relay must hold the daemon, the tools (stripped), the service unit
# and the template unit for one relay per bus, the settings file and the
# example of a bus's settings (conffiles), the port folder, the sysctl
# drop-in, the compressed manual pages, the copyright file and the
# changelog, and depend on nothing of Qt; tarvix-relay-gui must hold the
# window program with its desktop entry, icon, page, copyright file and
# changelog, and no maintainer scripts. No file may be in both, and none
# that the install rules put down may be in neither. lintian must report no
# error. The maintainer scripts run against stand-ins (the user made,
# rmem_max raised only where lower, purge keeping the user), and the
# package is installed and purged for real in a scratch root. The daemon
# must run with the packaged settings. Both units must pass
# `systemd-analyze verify`; each manual page must render without
# warnings and name every switch and option of its program's --help; and
# `cmake --install` to another prefix must put the settings under that
# prefix and have the units name the daemon and the settings there. Checks
# that this machine cannot run are reported as SKIPPED. Ends with
# "packaging: N passed, N failed".
set -uo pipefail

build=${1:?usage: check-package.sh BUILD_DIR}
passed=0
failed=0
work=$(mktemp -d /tmp/tarvix-package-check-XXXXXX)
trap 'rm -rf "$work"' EXIT

pass() { echo "ok: $1"; passed=$((passed + 1)); }
fail() { echo "FAILED: $1"; failed=$((failed + 1)); }
skip() { echo "SKIPPED: $1"; }

# tarvix-relay_* does not match tarvix-relay-gui_*: the name ends at the "_".
relay_debs=("$build"/tarvix-relay_*.deb)
gui_debs=("$build"/tarvix-relay-gui_*.deb)
deb=${relay_debs[0]}
gui_deb=${gui_debs[0]}
if [ ! -f "$deb" ] || [ ! -f "$gui_deb" ]; then
  echo "FAILED: tarvix-relay_*.deb and tarvix-relay-gui_*.deb should both be in $build (run cpack there first)"
  echo "packaging: 0 passed, 1 failed"
  exit 1
fi

# --- the packages' contents
# The sixth field is the path; a link's target would follow it.
dpkg-deb -c "$deb" | awk '{print $6}' > "$work/contents"
dpkg-deb -c "$gui_deb" | awk '{print $6}' > "$work/gui-contents"
# lacking LIST PATH...: the paths that LIST does not hold
lacking() {
  local list=$1 path
  shift
  for path; do grep -qxF -- "$path" "$list" || echo "$path"; done
}
missing=$(lacking "$work/contents" ./usr/bin/tarvix-relayd ./usr/bin/tarvixctl ./usr/bin/tarvix-send ./usr/bin/tarvix-bus-sim \
  ./usr/lib/systemd/system/tarvix-relay.service ./usr/lib/systemd/system/tarvix-relay@.service \
  ./etc/default/tarvix-relay ./etc/tarvix/bus.conf.example ./etc/tarvix/ports/ \
  ./usr/lib/sysctl.d/60-tarvix-relay.conf ./usr/share/man/man8/tarvix-relayd.8.gz \
  ./usr/share/man/man1/tarvix-send.1.gz ./usr/share/man/man1/tarvix-bus-sim.1.gz \
  ./usr/share/man/man1/tarvixctl.1.gz ./usr/share/bash-completion/completions/tarvixctl \
  ./usr/share/doc/tarvix-relay/copyright ./usr/share/doc/tarvix-relay/changelog.gz \
  ./usr/share/tarvix/prometheus/tarvix-alerts.yml ./usr/share/tarvix/wireshark/tarvix.lua)
window=$(grep -E 'tarvix-server|/applications/' "$work/contents")
if [ -n "$missing" ]; then fail "tarvix-relay lacks $(echo $missing)"
elif [ -n "$window" ]; then fail "tarvix-relay holds the window program's $(echo $window)"
else pass "tarvix-relay holds daemon, tools, both units, settings, example, port folder, sysctl drop-in, alert rules, pages, copyright, changelog, nothing of the window"; fi

# --- the shipped alert rules load in Prometheus and watch the relay's own
# absence (up == 0), not only its metrics.
rules=$work/rules
mkdir -p "$rules" && dpkg-deb -x "$deb" "$rules"
rules_file=$rules/usr/share/tarvix/prometheus/tarvix-alerts.yml
if ! command -v promtool >/dev/null; then
  skip "promtool check rules: promtool is not installed (Debian's prometheus, scripts/install-deps.sh status)"
elif ! promtool_out=$(promtool check rules "$rules_file" 2>&1); then
  fail "promtool check rules of the shipped rules: $(tr '\n' ' ' <<<"$promtool_out")"
elif ! grep -q 'up{job="tarvix"} == 0' "$rules_file"; then
  fail "the shipped rules do not notice a dead relay (up == 0)"
else
  pass "the shipped alert rules pass promtool check rules and watch up == 0"
fi

missing=$(lacking "$work/gui-contents" ./usr/bin/tarvix-server ./usr/share/applications/tarvix-server.desktop \
  ./usr/share/icons/hicolor/scalable/apps/tarvix-server.svg ./usr/share/man/man1/tarvix-server.1.gz \
  ./usr/share/doc/tarvix-relay-gui/copyright ./usr/share/doc/tarvix-relay-gui/changelog.gz)
if [ -z "$missing" ]; then pass "tarvix-relay-gui holds the window program, its desktop entry, icon, manual page, copyright and changelog"
else fail "tarvix-relay-gui lacks $(echo $missing)"; fi

# dpkg refuses to install two packages that hold the same file, and a file
# that an install rule puts down outside both components is silently left
# out. Directories (ending in /) may be shared.
grep -v '/$' "$work/contents" | sort >"$work/files"
grep -v '/$' "$work/gui-contents" | sort >"$work/gui-files"
staged=$work/staged
DESTDIR=$staged cmake --install "$build" --prefix /usr >"$work/staged.log" 2>&1
(cd "$staged" && find . ! -type d) | sort >"$work/staged-files"
shared=$(comm -12 "$work/files" "$work/gui-files")
unpackaged=$(sort -m "$work/files" "$work/gui-files" | comm -23 "$work/staged-files" -)
if [ ! -s "$work/staged-files" ]; then fail "cmake --install to a staging folder put down nothing ($(tr '\n' ' ' <"$work/staged.log"))"
elif [ -n "$shared" ]; then fail "both packages hold $(echo $shared)"
elif [ -n "$unpackaged" ]; then fail "installed but in neither package: $(echo $unpackaged)"
else pass "each installed file is in exactly one of the two packages"; fi

# --- lintian at its default level: no error. Warnings are printed, they do
# not fail the check. No tag is suppressed.
if ! command -v lintian >/dev/null; then
  skip "lintian: lintian is not installed (scripts/install-deps.sh lint)"
else
  # lintian warns on stderr that it runs as root; the tags are on stdout.
  lintian_out=$(lintian "$deb" "$gui_deb" 2>"$work/lintian.err")
  lintian_rc=$?
  errors=$(grep '^E: ' <<<"$lintian_out")
  warnings=$(grep '^W: ' <<<"$lintian_out")
  [ -n "$warnings" ] && sed 's/^/lintian: /' <<<"$warnings"
  if [ -n "$errors" ]; then fail "lintian reports errors: $(tr '\n' ';' <<<"$errors")"
  elif [ "$lintian_rc" -ne 0 ]; then fail "lintian ended with status $lintian_rc: $(tr '\n' ' ' <"$work/lintian.err")"
  else pass "lintian reports no error on either package ($(grep -c '^W: ' <<<"$warnings") warnings)"; fi
fi

# --- the control fields. Depends must come from dpkg-shlibdeps (so libc6 is
# in it): an empty field would pass the Qt test without proving anything.
depends=$(dpkg-deb -f "$deb" Depends)
if ! grep -qE '(^|, )libc6( |,|$)' <<<"$depends"; then
  fail "tarvix-relay's Depends lacks the shared libraries of its binaries: '$depends'"
elif grep -qi 'qt' <<<"$depends"; then
  fail "tarvix-relay's Depends names Qt: '$depends'"
elif ! grep -qE '(^|, )libmicrohttpd12( |,|$)' <<<"$depends"; then
  fail "tarvix-relay's Depends lacks the status server's HTTP library libmicrohttpd12: '$depends'"
else
  pass "tarvix-relay depends on its binaries' libraries, on the status server's libmicrohttpd12 and on nothing of Qt"
fi
gui_depends=$(dpkg-deb -f "$gui_deb" Depends)
gui_version=$(dpkg-deb -f "$gui_deb" Version)
if grep -qE '(^|, )qt6-qpa-plugins( |,|$)' <<<"$gui_depends" && grep -qE '(^|, )libqt6widgets6' <<<"$gui_depends" &&
   [ "$(dpkg-deb -f "$gui_deb" Recommends)" = "tarvix-relay (= $gui_version)" ] &&
   [ "$(dpkg-deb -f "$deb" Version)" = "$gui_version" ]; then
  pass "tarvix-relay-gui depends on Qt and its platform plugins and recommends tarvix-relay of its version"
else
  fail "tarvix-relay-gui: Depends '$gui_depends', Recommends '$(dpkg-deb -f "$gui_deb" Recommends)', versions $gui_version and $(dpkg-deb -f "$deb" Version)"
fi

dpkg-deb -e "$deb" "$work/control"
dpkg-deb -e "$gui_deb" "$work/gui-control"
if [ "$(cat "$work/control/conffiles" 2>/dev/null)" = "/etc/default/tarvix-relay
/etc/tarvix/bus.conf.example" ]; then
  pass "/etc/default/tarvix-relay and /etc/tarvix/bus.conf.example are tarvix-relay's conffiles"
else
  fail "conffiles should list /etc/default/tarvix-relay and /etc/tarvix/bus.conf.example alone: $(tr '\n' ' ' <"$work/control/conffiles")"
fi
scripts_ok=true
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] && sh -n "$work/control/$script" || scripts_ok=false
done
gui_extra=$(cd "$work/gui-control" && ls | grep -vxE 'control|md5sums')
if ! $scripts_ok; then fail "a maintainer script of tarvix-relay is missing, not executable or not valid sh"
elif [ -n "$gui_extra" ]; then fail "tarvix-relay-gui carries $(echo $gui_extra)"
else pass "tarvix-relay's maintainer scripts present, executable, valid sh; tarvix-relay-gui has none"; fi

# --- the maintainer scripts against stand-ins: PATH holds nothing else (but
# cat, which only reads), so no real user is made and nothing removed or
# changed; each stand-in appends its command line to calls. getent knows the
# user once "installed" exists; sysctl fails, as in a container. The calls
# of systemctl and deb-systemd-invoke depend on whether systemd runs here,
# and deb-systemd-helper's questions only steer the script: those are left
# out of the comparisons, and so are removals of enable links found on this
# machine.
stubs=$work/stubs
mkdir "$stubs"
for command in adduser useradd usermod deluser userdel groupdel systemctl deb-systemd-helper deb-systemd-invoke rm rmdir; do
  printf '#!/bin/sh\necho "${0##*/} $*" >>"%s/calls"\n' "$work" >"$stubs/$command"
done
printf '#!/bin/sh\necho "${0##*/} $*" >>"%s/calls"\ncase "$1" in --quiet|debian-installed|was-enabled|is-enabled) exit 1 ;; esac\n' \
  "$work" >"$stubs/deb-systemd-helper"
printf '#!/bin/sh\necho "sysctl $*" >>"%s/calls"\nexit 1\n' "$work" >"$stubs/sysctl"
printf '#!/bin/sh\ncase "$1 $2" in\n  "group dialout") exit 0 ;;\n  "passwd tarvix") [ -e "%s/installed" ] ;;\n  *) exit 2 ;;\nesac\n' "$work" >"$stubs/getent"
chmod +x "$stubs"/*
ln -s "$(command -v cat)" "$stubs/cat"
# run SCRIPT ARGS...: the calls that SCRIPT makes, as one line each
run() {
  local script=$1
  shift
  : >"$work/calls"
  PATH=$stubs /bin/sh "$script" "$@" || echo "exit status $?"
  grep -vE '^(systemctl|deb-systemd-invoke) |^deb-systemd-helper (--quiet |debian-installed |was-enabled |is-enabled )|^rm -f .*/etc/systemd/system/' "$work/calls"
}
# The postinst with the kernel's rmem_max read from a file of the check's.
rmem=/proc/sys/net/core/rmem_max
sed "s|$rmem|$work/rmem_max|" "$work/control/postinst" >"$work/postinst-rmem"
sysctl_call="sysctl -q -p /usr/lib/sysctl.d/60-tarvix-relay.conf"

echo 212992 >"$work/rmem_max"
calls=$(run "$work/postinst-rmem" configure "")
expected="adduser --system --group --home /nonexistent --no-create-home --shell /usr/sbin/nologin --gecos Tarvix RS485 relay tarvix
usermod -a -G dialout tarvix
$sysctl_call
deb-systemd-helper update-state tarvix-relay.service"
if [ "$(grep -c "$rmem" "$work/control/postinst")" -ne 1 ]; then
  fail "postinst should read $rmem in one place, the one the check replaces"
elif [ "$calls" = "$expected" ]; then
  pass "postinst makes the user tarvix in dialout, raises a lower rmem_max, survives a failing sysctl, records the unit's links"
else
  fail "first postinst called: $(tr '\n' ';' <<<"$calls")"
fi

# rmem_max is raised only where lower, never lowered; one that cannot be
# read is tried. The unchanged script against the running kernel must do
# what the value that cat shows asks for: a script that read /proc/sys in
# pieces would see a shorter number.
touch "$work/installed"
rmem_wrong=()
for value in 4194303 4194304 8388608 unreadable; do
  rm -f "$work/rmem_max"
  [ "$value" = unreadable ] || echo "$value" >"$work/rmem_max"
  calls=$(run "$work/postinst-rmem" configure 1.1)
  case "$value" in 4194303 | unreadable) want=yes ;; *) want=no ;; esac
  grep -qxF "$sysctl_call" <<<"$calls" && got=yes || got=no
  [ "$got" = "$want" ] || rmem_wrong+=("$value: sysctl $got")
done
kernel=$(cat "$rmem" 2>/dev/null)
if [ -n "$kernel" ]; then
  [ "$kernel" -lt 4194304 ] && want=yes || want=no
  grep -qxF "$sysctl_call" <<<"$(run "$work/control/postinst" configure 1.1)" && got=yes || got=no
  [ "$got" = "$want" ] || rmem_wrong+=("this kernel's $kernel: sysctl $got")
fi
if [ ${#rmem_wrong[@]} -eq 0 ]; then
  pass "postinst applies the drop-in below 4194304 and where unreadable, not at or above it (this kernel: ${kernel:-unreadable})"
else
  fail "postinst and rmem_max: ${rmem_wrong[*]}"
fi

calls=$(run "$work/control/postrm" remove)
if [ -z "$calls" ]; then pass "postrm remove leaves links, folders and the user"
else fail "postrm remove called: $(tr '\n' ';' <<<"$calls")"; fi
calls=$(run "$work/control/postrm" purge)
expected="deb-systemd-helper purge tarvix-relay.service
rm -rf /etc/tarvix/ports /run/tarvix-relay
rmdir /etc/tarvix"
if [ "$calls" = "$expected" ]; then
  pass "postrm purge removes the enable links, the port and runtime folders, and keeps the user tarvix"
else
  fail "postrm purge called: $(tr '\n' ';' <<<"$calls")"
fi
: >"$work/calls"
PATH=$stubs /bin/sh "$work/control/prerm" remove
PATH=$stubs /bin/sh "$work/control/prerm" upgrade 1.1
expected=
[ -d /run/systemd/system ] && expected='deb-systemd-invoke stop tarvix-relay.service tarvix-relay@*.service'
if [ "$(cat "$work/calls")" = "$expected" ]; then
  pass "prerm stops the service and every instance on remove (where systemd runs), not on upgrade"
else
  fail "prerm called: $(tr '\n' ';' <"$work/calls")"
fi

# --- a real install, upgrade, removal and purge in a scratch root. dpkg
# --root with --force-script-chrootless runs the maintainer scripts on this
# machine with DPKG_ROOT naming the scratch root: the user is made there
# (useradd --prefix) and the real deb-systemd-helper works there. Stand-ins
# in front of PATH fail, and are recorded, when a script reaches for this
# machine instead: a user made, changed or removed without --prefix,
# sysctl, systemctl, deb-systemd-invoke.
scratch_skip=
if [ "$(id -u)" -ne 0 ]; then scratch_skip="dpkg needs root to install into a scratch root"
elif ! dpkg --force-help 2>&1 | grep -q script-chrootless; then scratch_skip="this dpkg has no --force-script-chrootless"
elif ! PATH=$PATH:/usr/sbin:/sbin useradd --help 2>&1 | grep -q -- --prefix; then scratch_skip="this useradd has no --prefix"
elif ! command -v deb-systemd-helper >/dev/null; then scratch_skip="deb-systemd-helper is not installed"
fi
if [ -n "$scratch_skip" ]; then
  skip "install and purge in a scratch root: $scratch_skip"
else
  guards=$work/guards
  mkdir "$guards"
  for command in adduser deluser userdel groupadd groupdel sysctl systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "${0##*/} $*" >>"%s/host-calls"\nexit 1\n' "$work" >"$guards/$command"
  done
  for command in useradd usermod; do
    printf '#!/bin/sh\n[ "$1" = --prefix ] && exec %s "$@"\necho "${0##*/} $*" >>"%s/host-calls"\nexit 1\n' \
      "$(PATH=$PATH:/usr/sbin:/sbin command -v $command)" "$work" >"$guards/$command"
  done
  chmod +x "$guards"/*
  sroot=$work/scratch
  mkdir -p "$sroot/etc" "$sroot/var/lib/dpkg/info" "$sroot/var/lib/dpkg/updates" "$sroot/var/lib/dpkg/triggers"
  touch "$sroot/var/lib/dpkg/status" "$sroot/var/lib/dpkg/available"
  printf 'root:x:0:0:root:/root:/bin/sh\n' >"$sroot/etc/passwd"
  printf 'root:*:19000:0:99999:7:::\n' >"$sroot/etc/shadow"
  printf 'root:x:0:\ndialout:x:20:\n' >"$sroot/etc/group"
  printf 'root:*::\ndialout:*::\n' >"$sroot/etc/gshadow"
  # The libraries of Depends are not in the scratch root's database.
  sdpkg() {
    PATH=$guards:$PATH:/usr/sbin:/sbin dpkg --root="$sroot" --force-script-chrootless --force-depends \
      --log=/dev/null "$@" >>"$work/dpkg.log" 2>&1
  }
  host_user_before=$(getent passwd tarvix)
  # scratch_state: what each step is judged by
  scratch_state() {
    local s=$sroot
    echo "user=$(grep -c '^tarvix:x:[0-9]*:[0-9]*:Tarvix RS485 relay:/nonexistent:/usr/sbin/nologin$' "$s/etc/passwd")"
    echo "dialout=$(grep -cE '^dialout:x:20:(.*,)?tarvix(,|$)' "$s/etc/group")"
    local path
    for path in usr/bin/tarvix-relayd etc/default/tarvix-relay etc/tarvix/bus.conf.example etc/tarvix/bus1.conf \
                etc/tarvix/ports/COM1 run/tarvix-relay \
                etc/systemd/system/multi-user.target.wants/tarvix-relay.service \
                etc/systemd/system/multi-user.target.wants/tarvix-relay@bus1.service \
                var/lib/systemd/deb-systemd-helper-enabled/tarvix-relay.service.dsh-also; do
      if [ -e "$s/$path" ] || [ -L "$s/$path" ]; then echo "$path"; fi
    done
  }
  # judge STEP EXPECTED: pass or fail STEP by the scratch root's state and
  # the calls that reached for this machine
  judge() {
    local state
    state=$(scratch_state)
    if [ -s "$work/host-calls" ]; then fail "scratch root, $1: the scripts reached for this machine: $(tr '\n' ';' <"$work/host-calls")"
    elif [ "$state" != "$2" ]; then fail "scratch root, $1: found $(tr '\n' ' ' <<<"$state")(dpkg: $(tail -3 "$work/dpkg.log" | tr '\n' ' '))"
    else pass "scratch root, $1"; fi
    : >"$work/host-calls"
  }
  sdpkg -i "$deb"
  judge "dpkg -i makes the system user tarvix there, in dialout, and records the unit's links" "user=1
dialout=1
usr/bin/tarvix-relayd
etc/default/tarvix-relay
etc/tarvix/bus.conf.example
var/lib/systemd/deb-systemd-helper-enabled/tarvix-relay.service.dsh-also"
  # The operator's part: the service and one bus's instance enabled, a port
  # linked, the bus's settings, a runtime folder left by a stopped service.
  wants=$sroot/etc/systemd/system/multi-user.target.wants
  mkdir -p "$wants" "$sroot/run/tarvix-relay/bus1"
  ln -s /usr/lib/systemd/system/tarvix-relay.service "$wants/tarvix-relay.service"
  ln -s /usr/lib/systemd/system/tarvix-relay@.service "$wants/tarvix-relay@bus1.service"
  ln -s /dev/ttyUSB0 "$sroot/etc/tarvix/ports/COM1"
  cp "$sroot/etc/tarvix/bus.conf.example" "$sroot/etc/tarvix/bus1.conf"
  touch "$sroot/run/tarvix-relay/TarvixServer.lock"
  operated="etc/tarvix/bus1.conf
etc/tarvix/ports/COM1
run/tarvix-relay
etc/systemd/system/multi-user.target.wants/tarvix-relay.service
etc/systemd/system/multi-user.target.wants/tarvix-relay@bus1.service"
  sdpkg -i "$deb"
  judge "installing again (the upgrade's path) keeps one user and the operator's links" "user=1
dialout=1
usr/bin/tarvix-relayd
etc/default/tarvix-relay
etc/tarvix/bus.conf.example
$operated
var/lib/systemd/deb-systemd-helper-enabled/tarvix-relay.service.dsh-also"
  sdpkg -r tarvix-relay
  judge "dpkg -r removes the program and keeps the settings, the links and the user" "user=1
dialout=1
etc/default/tarvix-relay
etc/tarvix/bus.conf.example
$operated
var/lib/systemd/deb-systemd-helper-enabled/tarvix-relay.service.dsh-also"
  sdpkg -P tarvix-relay
  judge "dpkg -P removes the enable links of the service and of tarvix-relay@bus1, the port and runtime folders and the conffiles, and keeps the user and bus1.conf" "user=1
dialout=1
etc/tarvix/bus1.conf"
  if [ "$(getent passwd tarvix)" != "$host_user_before" ]; then
    fail "scratch root: the user tarvix of this machine changed"
  fi
fi

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -x "$gui_deb" "$work/gui-root"
root=$work/root
gui_root=$work/gui-root

# --- documentation: the pages and changelogs gzip'ed without name or time
# (gzip -n: the same bytes from every build), the changelog that of this
# version, the copyright file machine-readable; both packages alike.
bad_gz=()
for gz in "$root"/usr/share/man/man*/* "$gui_root"/usr/share/man/man*/* "$root"/usr/share/doc/*/changelog* "$gui_root"/usr/share/doc/*/changelog*; do
  # The header: ID1 ID2 CM FLG MTIME(4); FLG bit 3 is a stored name.
  read -r id1 id2 _ flags m1 m2 m3 m4 < <(od -An -tu1 -N8 "$gz")
  if [ "$id1 $id2" != "31 139" ] || ! gzip -t "$gz" 2>/dev/null || [ $((flags & 8)) -ne 0 ] || [ "$m1$m2$m3$m4" != 0000 ]; then
    bad_gz+=("${gz#"$work"/}")
  fi
done
version=$(dpkg-deb -f "$deb" Version)
gzip -dc "$root/usr/share/doc/tarvix-relay/changelog.gz" >"$work/changelog"
changelog_version=$(dpkg-parsechangelog -l "$work/changelog" -S Version 2>&1)
copyright=$root/usr/share/doc/tarvix-relay/copyright
if [ ${#bad_gz[@]} -gt 0 ]; then fail "not gzip'ed with -n: ${bad_gz[*]}"
elif [ "$changelog_version" != "$version" ]; then fail "the changelog's last entry is $changelog_version, the package $version"
elif ! cmp -s "$copyright" "$gui_root/usr/share/doc/tarvix-relay-gui/copyright" ||
     ! cmp -s "$root/usr/share/doc/tarvix-relay/changelog.gz" "$gui_root/usr/share/doc/tarvix-relay-gui/changelog.gz"; then
  fail "the two packages' copyright files or changelogs differ"
elif [ "$(head -1 "$copyright")" != "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
     ! grep -qx 'License: MIT' "$copyright"; then
  fail "the copyright file is not in the machine-readable format with License: MIT"
else
  pass "pages and changelogs gzip'ed without name or time, changelog of $version, machine-readable copyright, alike in both"
fi
unstripped=()
for binary in "$root"/usr/bin/* "$gui_root"/usr/bin/*; do
  file -b "$binary" | grep -q ', stripped' || unstripped+=("${binary##*/}")
done
if [ ${#unstripped[@]} -eq 0 ]; then pass "the programs are stripped"
else fail "not stripped: ${unstripped[*]}"; fi

# --- settings, drop-in and units.
defaults=$root/etc/default/tarvix-relay
example=$root/etc/tarvix/bus.conf.example
rmem_wanted=$(sed -n 's/^rmem_wanted=//p' "$work/control/postinst")
if grep -qx 'TARVIX_ARGS="-c1 --resend-limit=10 --traces=none --record --turnaround=auto --adaptive-timeout"' "$defaults" &&
   grep -qx 'TARVIX_COM_DIR=/etc/tarvix/ports' "$defaults" &&
   grep -qxE 'TARVIX_ARGS="-c[1-9] --listen=[0-9.]+:[0-9]+ .*"' "$example" &&
   grep -qx 'TARVIX_COM_DIR=/etc/tarvix/ports' "$example" &&
   grep -qx "net.core.rmem_max = $rmem_wanted" "$root/usr/lib/sysctl.d/60-tarvix-relay.conf"; then
  pass "settings file, bus example and sysctl drop-in hold their values (rmem_max as postinst compares it)"
else
  fail "settings file, bus example or sysctl drop-in lacks its value (postinst compares rmem_max with '$rmem_wanted')"
fi

# The packaged settings must start the packaged daemon: a misspelt option
# is a start-up error (exit status 2), and the service would then never
# run. Systemd splits TARVIX_ARGS at blanks, as the shell does here. The
# relay listens on 127.0.0.1 only (instead of on all addresses, or the
# example's 0.0.0.0), and its ports folder is empty (it keeps trying to
# open the port). A start-up error ends the relay at once; one still
# running after a second took its settings. argv[0] is the installed path,
# as systemd gives it: the relay looks for its switches in the whole
# command line, and the check's folder has a "-p" in its name.
# refused ARGS...: why tarvix-relayd did not run with ARGS, or nothing
refused() {
  mkdir -p -m 0700 "$work/xdg"
  (XDG_RUNTIME_DIR=$work/xdg TARVIX_COM_DIR=$work/no-ports \
     exec -a /usr/bin/tarvix-relayd "$root/usr/bin/tarvix-relayd" "$@" >"$work/daemon.out" 2>&1) &
  local pid=$! status
  sleep 1
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid"
    wait "$pid" || echo "exit status $? after SIGTERM"
  else
    wait "$pid"
    status=$?
    echo "exit status $status: $(grep -m1 error "$work/daemon.out")"
  fi
}
args_of() {
  sed -n 's/^TARVIX_ARGS="\(.*\)"$/\1/p' "$1" | sed 's/0\.0\.0\.0:/127.0.0.1:/; /--listen=/!s/$/ --listen=127.0.0.1/'
}
# shellcheck disable=SC2046 # split at blanks on purpose, as systemd does
why=$(refused $(args_of "$defaults"))
# shellcheck disable=SC2046
why_example=$(refused $(args_of "$example"))
if [ -n "$why" ]; then fail "tarvix-relayd $(args_of "$defaults") (the packaged settings): $why"
elif [ -n "$why_example" ]; then fail "tarvix-relayd $(args_of "$example") (the bus example): $why_example"
else pass "tarvix-relayd runs with the packaged settings and with the bus example's"; fi

unit=$root/usr/lib/systemd/system/tarvix-relay.service
template=$root/usr/lib/systemd/system/tarvix-relay@.service
# unit_lacks UNIT LINE...: the lines that UNIT does not hold
unit_lacks() {
  local file=$1 line
  shift
  for line; do grep -qxF -- "$line" "$file" || echo "$line"; done
}
common=('ExecStart=/usr/bin/tarvix-relayd $TARVIX_CONTROL $TARVIX_ARGS' RuntimeDirectoryMode=0750 Type=notify NotifyAccess=main WatchdogSec=30s
  'ExecReload=/bin/kill -HUP $MAINPID' DevicePolicy=closed)
for device in ttyS ttyUSB ttyACM ttyAMA ttySC ttymxc pts; do common+=("DeviceAllow=char-$device rw"); done
lacks=$(unit_lacks "$unit" "${common[@]}" EnvironmentFile=-/etc/default/tarvix-relay \
  Environment=XDG_RUNTIME_DIR=/run/tarvix-relay RuntimeDirectory=tarvix-relay \
  Environment=TARVIX_CONTROL=--admin=/run/tarvix-relay/control)
template_lacks=$(unit_lacks "$template" "${common[@]}" 'EnvironmentFile=/etc/tarvix/%i.conf' \
  'Environment=XDG_RUNTIME_DIR=/run/tarvix-relay/%i' 'RuntimeDirectory=tarvix-relay/%i' \
  'Environment=TARVIX_CONTROL=--admin=/run/tarvix-relay/%i/control')
# The two units run the program alike: same user, same hardening, same
# start, reload and restart; only settings and runtime folder differ.
alike='^(Type|NotifyAccess|WatchdogSec|ExecStart|ExecReload|Restart|RestartSec|RestartPreventExitStatus|User|Group|SupplementaryGroups|UMask|RuntimeDirectoryMode|NoNewPrivileges|Protect[A-Za-z]+|Private[A-Za-z]+|Restrict[A-Za-z]+|Device[A-Za-z]+|CapabilityBoundingSet|LockPersonality|SystemCallArchitectures|WantedBy)='
differ=$(diff <(grep -E "$alike" "$unit" | sort) <(grep -E "$alike" "$template" | sort) | grep '^[<>]')
if [ -n "$lacks" ]; then fail "tarvix-relay.service lacks $(tr '\n' ';' <<<"$lacks")"
elif [ -n "$template_lacks" ]; then fail "tarvix-relay@.service lacks $(tr '\n' ';' <<<"$template_lacks")"
elif [ -n "$differ" ]; then fail "the two units differ in $(tr '\n' ';' <<<"$differ")"
else pass "both units: type notify with watchdog and reload, /usr/bin/tarvix-relayd, the serial devices, the same hardening; settings, runtime folder and control socket their own"; fi

# --- systemd-analyze verify. The program is looked for at its installed
# path, so the copy checked names the unpacked one; MANPATH lets the
# Documentation= link be checked against the pages of the same package.
# verify warns about unknown keys and bad values but still exits 0, so any
# output fails. The template is checked as one instance, bus1: a template
# itself cannot be loaded.
verify() { MANPATH="$root/usr/share/man" systemd-analyze verify "$1" 2>&1; }
if ! command -v systemd-analyze >/dev/null; then
  skip "systemd-analyze verify: systemd-analyze is not installed"
else
  printf '[Service]\nExecStart=/bin/true\n' > "$work/probe.service"
  if ! probe=$(verify "$work/probe.service") || [ -n "$probe" ]; then
    skip "systemd-analyze verify cannot run here: $probe"
  else
    mkdir "$work/unit"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" > "$work/unit/tarvix-relay.service"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$template" > "$work/unit/tarvix-relay@bus1.service"
    for name in tarvix-relay.service tarvix-relay@bus1.service; do
      if out=$(verify "$work/unit/$name") && [ -z "$out" ]; then
        pass "systemd-analyze verify $name"
      else
        fail "systemd-analyze verify $name: $out"
      fi
    done
  fi
fi

# --- the manual pages: rendered without warnings, every switch and option of
# the packaged program's --help named (as rendered, so a dash that groff
# would turn into a hyphen does not count). --help answers without starting
# the relay, so it runs beside a running one and without a display.
usage_options() {
  grep -oE '^  -[^ ]+' | sed -E 's/^  //; s/[=[<].*//' | sort -u
}
if ! command -v man >/dev/null; then
  skip "manual pages: man is not installed"
else
  for entry in "$root":tarvix-relayd:8 "$root":tarvixctl:1 "$root":tarvix-send:1 "$root":tarvix-bus-sim:1 "$gui_root":tarvix-server:1; do
    IFS=: read -r base program section <<<"$entry"
    page=$base/usr/share/man/man$section/$program.$section.gz
    if [ ! -x "$base/usr/bin/$program" ]; then fail "$program: not in its package, no --help to check $program($section) against"; continue; fi
    options=$(timeout 10 "$base/usr/bin/$program" --help 2>/dev/null | usage_options)
    if [ -z "$options" ]; then fail "$program: --help lists no options"; continue; fi
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
    absent=()
    for option in $options; do
      case "$option" in
        --*) pattern="(^|[^-[:alnum:]])$option([^-[:alnum:]]|\$)" ;;
        *) pattern="(^|[^-[:alnum:]])$option" ;;
      esac
      grep -qE -- "$pattern" <<<"$text" || absent+=("$option")
    done
    if [ -n "$warnings" ]; then fail "$program($section) renders with warnings: $warnings"
    elif [ -z "$text" ]; then fail "$program($section) does not render"
    elif [ ${#absent[@]} -gt 0 ]; then fail "$program($section) lacks ${absent[*]}"
    else pass "$program($section) renders and names all $(wc -w <<<"$options") switches and options"; fi
  done
fi

# --- cmake --install to a prefix other than /usr: the settings go under the
# prefix (never into the machine's /etc), and the units name the daemon and
# the settings there.
prefix=$work/prefix
units=$prefix/lib/systemd/system
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  fail "cmake --install --prefix $prefix failed: $(tr '\n' ' ' <"$work/install.log")"
else
  absent=()
  for path in bin/tarvix-relayd bin/tarvixctl bin/tarvix-server etc/default/tarvix-relay etc/tarvix/bus.conf.example etc/tarvix/ports \
              lib/sysctl.d/60-tarvix-relay.conf share/man/man8/tarvix-relayd.8.gz share/man/man1/tarvix-server.1.gz \
              share/doc/tarvix-relay/copyright lib/systemd/system/tarvix-relay.service lib/systemd/system/tarvix-relay@.service; do
    [ -e "$prefix/$path" ] || absent+=("$path")
  done
  wrong=$( (unit_lacks "$units/tarvix-relay.service" "ExecStart=$prefix/bin/tarvix-relayd \$TARVIX_CONTROL \$TARVIX_ARGS" \
              "EnvironmentFile=-$prefix/etc/default/tarvix-relay"
            unit_lacks "$units/tarvix-relay@.service" "ExecStart=$prefix/bin/tarvix-relayd \$TARVIX_CONTROL \$TARVIX_ARGS" \
              "EnvironmentFile=$prefix/etc/tarvix/%i.conf"
            unit_lacks "$prefix/etc/tarvix/bus.conf.example" "TARVIX_COM_DIR=$prefix/etc/tarvix/ports") 2>&1)
  if [ ${#absent[@]} -gt 0 ]; then fail "cmake --install --prefix: missing ${absent[*]}"
  elif [ -n "$wrong" ]; then fail "cmake --install --prefix: the units or the bus example lack $(tr '\n' ';' <<<"$wrong")"
  else pass "cmake --install --prefix puts programs, settings, units, drop-in, pages under the prefix; the units read the settings there"; fi
fi

echo "packaging: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
