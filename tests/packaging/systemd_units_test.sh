#!/usr/bin/env bash
# The systemd units of packaging/systemd/, as `cmake --install` puts them
# under a prefix of their own, checked by systemd-analyze verify:
#
#   tests/packaging/systemd_units_test.sh <source tree> <build folder> [<cmake>]
#
# verify wants the program that ExecStart names to exist and the manual page
# that Documentation names to be found: the install brings both, and MANPATH
# leads to its manual page. Needs no running systemd; exit code 77 (skipped)
# where systemd-analyze is missing. tools/package.sh checks the units that the
# package installs the same way.
set -euo pipefail
source_tree=$1
build=$2
cmake=${3:-cmake}

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIPPED: systemd-analyze is missing (apt install systemd)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
units=(fernwicktreesyncer@.service fernwicktreesyncer@.timer fernwicktreesyncer-watch@.service)
failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

# The units name the program under the prefix.
for unit in fernwicktreesyncer@.service fernwicktreesyncer-watch@.service; do
  grep -q "^ExecStart=$prefix/bin/FernwickTreeSyncer " "$prefix/lib/systemd/system/$unit" ||
    fail "$unit does not run $prefix/bin/FernwickTreeSyncer"
done

# The templates, and an instance of each (how systemctl enable sees them).
cd "$prefix/lib/systemd/system"
for name in "${units[@]}" fernwicktreesyncer@projects.service fernwicktreesyncer@projects.timer \
  fernwicktreesyncer-watch@projects.service; do
  status=0
  said=$(MANPATH=$prefix/share/man systemd-analyze verify "./$name" 2>&1) || status=$?
  echo "systemd-analyze verify $name: exit code $status${said:+, said:}"
  [[ -z $said ]] || sed 's/^/    /' <<<"$said"
  ((status == 0)) || fail "systemd-analyze verify $name"
  # Warnings leave the exit code at 0; any about these units fail the test.
  ! grep -q fernwicktreesyncer <<<"$said" || fail "systemd-analyze warns about $name"
done

# What the units promise beyond what verify sees.
unit_has() {
  grep -qx -- "$2" "$source_tree/packaging/systemd/$1" || fail "$1 lacks the line $2"
}
unit_has fernwicktreesyncer@.service 'Type=oneshot'
unit_has fernwicktreesyncer@.service 'SuccessExitStatus=143'
unit_has fernwicktreesyncer@.service 'EnvironmentFile=/etc/fernwicktreesyncer/%i.conf'
unit_has fernwicktreesyncer@.service \
  'ExecStart=/usr/bin/FernwickTreeSyncer $OPTIONS ${SOURCE} ${DESTINATION}'
unit_has fernwicktreesyncer@.timer 'OnCalendar=daily'
unit_has fernwicktreesyncer@.timer 'Persistent=true'
unit_has fernwicktreesyncer-watch@.service 'Type=simple'
unit_has fernwicktreesyncer-watch@.service 'Restart=on-failure'
unit_has fernwicktreesyncer-watch@.service 'SuccessExitStatus=143'
unit_has fernwicktreesyncer-watch@.service 'KillSignal=SIGTERM'
unit_has fernwicktreesyncer-watch@.service 'EnvironmentFile=/etc/fernwicktreesyncer/%i.conf'
unit_has fernwicktreesyncer-watch@.service \
  'ExecStart=/usr/bin/FernwickTreeSyncer --watch $WATCH_OPTIONS $OPTIONS ${SOURCE} ${DESTINATION}'

((failed == 0)) && echo "PASSED"
exit "$failed"
