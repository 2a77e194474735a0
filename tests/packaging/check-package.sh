#!/usr/bin/env bash
# Checks the Debian package and the install rules of a release build:
#   check-package.sh BUILD_DIR     (after `cpack` in BUILD_DIR)
# The package must hold the programs, the service unit, its settings file
# (a conffile), the port folder, the sysctl drop-in and the manual pages;
# the unit must pass `systemd-analyze verify`; each manual page must render
# without warnings and name every switch and option of its program's usage
# text; and `cmake --install` to another prefix must put the settings under
# that prefix and name the program there. Checks that this machine cannot
# run are reported as SKIPPED. Ends with "packaging: N passed, N failed".
set -uo pipefail

build=${1:?usage: check-package.sh BUILD_DIR}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
passed=0
failed=0
work=$(mktemp -d /tmp/tarvix-package-check-XXXXXX)
trap 'rm -rf "$work"' EXIT

pass() { echo "ok: $1"; passed=$((passed + 1)); }
fail() { echo "FAILED: $1"; failed=$((failed + 1)); }
skip() { echo "SKIPPED: $1"; }

debs=("$build"/tarvix-relay_*.deb)
deb=${debs[0]}
if [ ! -f "$deb" ]; then
  echo "FAILED: no tarvix-relay_*.deb in $build (run cpack there first)"
  echo "packaging: 0 passed, 1 failed"
  exit 1
fi

# --- the package's contents
dpkg-deb -c "$deb" | awk '{print $NF}' > "$work/contents"
missing=()
for path in ./usr/bin/tarvix-server ./usr/bin/tarvix-send ./usr/bin/tarvix-bus-sim \
    ./usr/lib/systemd/system/tarvix-relay.service ./etc/default/tarvix-relay ./etc/tarvix/ports/ \
    ./usr/lib/sysctl.d/60-tarvix-relay.conf ./usr/share/man/man1/tarvix-server.1 \
    ./usr/share/man/man1/tarvix-send.1 ./usr/share/man/man1/tarvix-bus-sim.1; do
  grep -qxF -- "$path" "$work/contents" || missing+=("$path")
done
if [ ${#missing[@]} -eq 0 ]; then pass "the package holds unit, settings, port folder, sysctl drop-in, manual pages"
else fail "the package lacks ${missing[*]}"; fi

dpkg-deb -e "$deb" "$work/control"
if [ "$(cat "$work/control/conffiles" 2>/dev/null)" = /etc/default/tarvix-relay ]; then
  pass "/etc/default/tarvix-relay is the package's conffile"
else
  fail "conffiles should list /etc/default/tarvix-relay alone"
fi
scripts_ok=true
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] && sh -n "$work/control/$script" || scripts_ok=false
done
if $scripts_ok; then pass "maintainer scripts present, executable, valid sh"
else fail "a maintainer script is missing, not executable or not valid sh"; fi

# The maintainer scripts against stand-ins: PATH holds nothing else, so no
# real user is made and no setting changed. A first install makes the user
# and puts it in dialout; a sysctl that fails (as in a container) does not
# fail the install; purge removes the user again.
stubs=$work/stubs
mkdir "$stubs"
for command in adduser usermod systemctl deluser groupdel; do
  printf '#!/bin/sh\necho "${0##*/} $*" >>"%s/calls"\n' "$work" >"$stubs/$command"
done
printf '#!/bin/sh\necho "sysctl $*" >>"%s/calls"\nexit 1\n' "$work" >"$stubs/sysctl"
# The user is missing before the install and present before the purge.
printf '#!/bin/sh\ncase "$1 $2" in\n  "group dialout") exit 0 ;;\n  "passwd tarvix") [ -e "%s/installed" ] ;;\n  *) exit 2 ;;\nesac\n' "$work" >"$stubs/getent"
chmod +x "$stubs"/*
PATH=$stubs /bin/sh "$work/control/postinst" configure "" && touch "$work/installed" &&
  PATH=$stubs /bin/sh "$work/control/postrm" purge
grep -v '^systemctl' "$work/calls" >"$work/calls.user" 2>/dev/null
expected="adduser --system --group --home /nonexistent --no-create-home --shell /usr/sbin/nologin --gecos Tarvix RS485 relay tarvix
usermod -a -G dialout tarvix
sysctl -q -p /usr/lib/sysctl.d/60-tarvix-relay.conf
deluser --system tarvix"
if [ "$(cat "$work/calls.user")" = "$expected" ]; then
  pass "postinst makes the user tarvix in dialout and survives a failing sysctl; purge removes it"
else
  fail "maintainer scripts called: $(tr '\n' ';' <"$work/calls.user")"
fi

dpkg-deb -x "$deb" "$work/root"
root=$work/root
if grep -qx 'TARVIX_ARGS="-c1"' "$root/etc/default/tarvix-relay" &&
   grep -qx 'TARVIX_COM_DIR=/etc/tarvix/ports' "$root/etc/default/tarvix-relay" &&
   grep -qx 'net.core.rmem_max = 4194304' "$root/usr/lib/sysctl.d/60-tarvix-relay.conf"; then
  pass "settings file and sysctl drop-in hold their values"
else
  fail "settings file or sysctl drop-in lacks its value"
fi

unit=$root/usr/lib/systemd/system/tarvix-relay.service
if grep -qxF 'ExecStart=/usr/bin/tarvix-server --headless $TARVIX_ARGS' "$unit"; then
  pass "the packaged unit starts /usr/bin/tarvix-server with the split \$TARVIX_ARGS"
else
  fail "the packaged unit's ExecStart is not /usr/bin/tarvix-server --headless \$TARVIX_ARGS"
fi

# --- systemd-analyze verify. The program is looked for at its installed
# path, so the copy checked names the unpacked one; MANPATH lets the
# Documentation= link be checked against the packaged page. verify warns
# about unknown keys and bad values but still exits 0, so any output fails.
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
    if out=$(verify "$work/unit/tarvix-relay.service") && [ -z "$out" ]; then
      pass "systemd-analyze verify tarvix-relay.service"
    else
      fail "systemd-analyze verify tarvix-relay.service: $out"
    fi
  fi
fi

# --- the manual pages: rendered without warnings, every switch and option of
# the usage text named (as rendered, so a dash that groff would turn into a
# hyphen does not count).
usage_options() {
  grep -oE '^ *"  -[^ "]+' "$1" | sed -E 's/^ *"  //; s/[=[<].*//' | sort -u
}
if ! command -v man >/dev/null; then
  skip "manual pages: man is not installed"
else
  for pair in tarvix-server:app/LongOptions.cpp tarvix-send:tools/SendOptions.cpp tarvix-bus-sim:tools/SimOptions.cpp; do
    program=${pair%%:*}
    page=$root/usr/share/man/man1/$program.1
    options=$(usage_options "$source_dir/${pair#*:}")
    if [ -z "$options" ]; then fail "$program: no options found in ${pair#*:}"; continue; fi
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
    if [ -n "$warnings" ]; then fail "$program(1) renders with warnings: $warnings"
    elif [ -z "$text" ]; then fail "$program(1) does not render"
    elif [ ${#absent[@]} -gt 0 ]; then fail "$program(1) lacks ${absent[*]}"
    else pass "$program(1) renders and names all $(wc -w <<<"$options") switches and options"; fi
  done
fi

# --- cmake --install to a prefix other than /usr: the settings go under the
# prefix (never into the machine's /etc) and the unit names the program there.
prefix=$work/prefix
if cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 &&
   [ -f "$prefix/etc/default/tarvix-relay" ] && [ -d "$prefix/etc/tarvix/ports" ] &&
   [ -f "$prefix/lib/sysctl.d/60-tarvix-relay.conf" ] && [ -f "$prefix/share/man/man1/tarvix-server.1" ] &&
   grep -qxF "ExecStart=$prefix/bin/tarvix-server --headless \$TARVIX_ARGS" "$prefix/lib/systemd/system/tarvix-relay.service"; then
  pass "cmake --install --prefix puts settings, unit, drop-in and pages under the prefix"
else
  fail "cmake --install --prefix $prefix: wrong layout ($(tr '\n' ' ' <"$work/install.log"))"
fi

echo "packaging: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
