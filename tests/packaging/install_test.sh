#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR EXPECTED_ANSWER VERSION SANITIZE
# Installs the build tree into a temporary DESTDIR with prefix /usr and checks the installed tree
# the way a desktop and a distribution see it; then moves it elsewhere and asks it questions.
set -uo pipefail
build=$1 source_dir=$2 expected_answer=$3 version=$4 sanitize=$5
. "$(dirname "$0")/common.sh"

if [ "$sanitize" = ON ]; then
  echo "skipped: the sanitizer build is never installed (its programs need the sanitizer runtime);" \
    "the release build runs this test"
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dest=$scratch/dest
root=$dest/usr
if ! DESTDIR=$dest cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi

id=org.qelvora.Qelvora
wanted=(bin/qelvora bin/qelvora-ask bin/qelvora-sites
  share/qelvora/sites/fuzzy.txt share/qelvora/sites/exact.txt share/qelvora/sites/software.txt
  "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml"
  "share/icons/hicolor/scalable/apps/$id.svg"
  share/man/man1/qelvora.1.gz share/man/man1/qelvora-ask.1.gz share/man/man1/qelvora-sites.1.gz
  lib/systemd/system/qelvora-sites.service lib/systemd/system/qelvora-sites-index.service
  share/doc/qelvora/copyright share/doc/qelvora/changelog.gz)
for f in "${wanted[@]}"; do
  [ -f "$root/$f" ] || fail "not installed: /usr/$f"
done

# The PNG icons are renderings of the right size (width and height from the IHDR chunk).
for n in 48 64 128 256; do
  png=$root/share/icons/hicolor/${n}x$n/apps/$id.png
  size=$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{print $3*256+$4 "x" $7*256+$8}')
  [ "$size" = "${n}x$n" ] || fail "$png is '$size', not ${n}x$n"
done

rc=0
out=$(desktop-file-validate "$root/share/applications/$id.desktop" 2>&1) || rc=$?
[ "$rc" = 0 ] && [ -z "$out" ] || fail "desktop-file-validate (exit $rc): $out"

metainfo=$root/share/metainfo/$id.metainfo.xml
rc=0
out=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1) || rc=$?
[ "$rc" = 0 ] && ! grep -Eq '^[EW]:' <<<"$out" || fail "appstreamcli validate (exit $rc): $out"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"

# The unit: its program exists in the installed root, its manual page is found, and its exposure
# stays low. Dependencies on the host's targets are not this unit's errors.
# The units: their programs exist in the installed root, their manual page is found, and their
# exposure stays low. Dependencies on the host's targets are not these units' errors.
grep -qx "ExecStart=/usr/bin/qelvora-sites --listen 127.0.0.1 --port 8750 --no-build" \
  "$root/lib/systemd/system/qelvora-sites.service" || fail "ExecStart of the sites' unit"
grep -qx "ExecStart=/usr/bin/qelvora-sites --build-index" \
  "$root/lib/systemd/system/qelvora-sites-index.service" || fail "ExecStart of the index unit"
for name in qelvora-sites qelvora-sites-index; do
  unit=lib/systemd/system/$name.service
  rc=0
  out=$(cd "$dest" && MANPATH=$root/share/man systemd-analyze verify --root="$dest" \
    --recursive-errors=no "usr/$unit" 2>&1) || rc=$?
  [ "$rc" = 0 ] && [ -z "$out" ] || fail "systemd-analyze verify $name (exit $rc): $out"
  exposure=$(cd "$dest" && systemd-analyze security --offline=true --root="$dest" --no-pager \
    "usr/$unit" 2>&1 | sed -n "s/.*Overall exposure level for $name.service: \([0-9.]*\).*/\1/p")
  echo "exposure of $name.service: ${exposure:-none}"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' ||
    fail "exposure of $name.service is '${exposure}', above 2.0"
done

# The APT hook parses and starts the index unit.
hook=$(apt-config -c "$dest/etc/apt/apt.conf.d/80qelvora-sites" dump 2>&1)
grep -q 'Post-Invoke-Success.*start qelvora-sites-index.service' <<<"$hook" ||
  fail "the APT hook: $(grep -i -e error -e qelvora <<<"$hook")"

for page in "$root"/share/man/man1/*.1.gz; do
  out=$(man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "man $(basename "$page"): $out"
done

for program in qelvora qelvora-ask qelvora-sites; do
  expect_version "$root/bin/$program" "$program" "$version"
  # Neither the source tree nor the build tree may be named in a program.
  leaks=$(strings -a "$root/bin/$program" | grep -F -e "$source_dir" -e "$build" | head -n 3)
  [ -z "$leaks" ] || fail "$program holds build paths: $leaks"
done

# Relocatable: the tree works from anywhere once the original is gone.
mkdir -p "$scratch/elsewhere"
mv "$root" "$scratch/elsewhere/qelvora"
rm -rf "$dest"
check_answers "$scratch/elsewhere/qelvora" "$source_dir" "$expected_answer" "$scratch/run"

[ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "the installed tree passed every check"
