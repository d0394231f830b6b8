#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR EXPECTED_ANSWER VERSION SANITIZE
# Builds the Debian package from the build tree with scripts/package and checks what a user gets:
# the files, the dependencies, the service scripts, lintian's verdict, and that it runs.
set -uo pipefail
build=$1 source_dir=$2 expected_answer=$3 version=$4 sanitize=$5
. "$(dirname "$0")/common.sh"

if [ "$sanitize" = ON ]; then
  echo "skipped: the sanitizer build is never packaged; the release build runs this test"
  exit 77
fi

for tool in cpack dpkg-deb dpkg-shlibdeps file; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool, a packaging tool, is missing"; exit 77; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if ! "$source_dir/scripts/package" --from "$build" --output "$scratch" >"$scratch/package.log" 2>&1
then
  cat "$scratch/package.log" >&2
  echo "FAIL: scripts/package" >&2
  exit 1
fi
deb=$scratch/qelvora_${version}_amd64.deb
[ -f "$deb" ] || { echo "FAIL: no $deb" >&2; ls "$scratch" >&2; exit 1; }
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# Two builds of one tree give the same bytes: every time stamp is the last commit's, not the clock's.
sleep 1.1
mkdir -p "$scratch/again"
"$source_dir/scripts/package" --from "$build" --output "$scratch/again" >>"$scratch/package.log" 2>&1 ||
  fail "scripts/package, the second time"
cmp "$deb" "$scratch/again/$(basename "$deb")" >&2 || fail "two builds of one tree differ"

# Every file with its mode and owner; directories aside.
id=org.qelvora.Qelvora
{
  for f in qelvora qelvora-ask qelvora-sites; do echo "-rwxr-xr-x root/root ./usr/bin/$f"; done
  for f in "$source_dir"/sites/data/*; do
    echo "-rw-r--r-- root/root ./usr/share/qelvora/sites/$(basename "$f")"
  done
  echo "-rw-r--r-- root/root ./etc/apt/apt.conf.d/80qelvora-sites"
  for f in lib/systemd/system/qelvora-sites{,-index}.service share/applications/$id.desktop \
    share/metainfo/$id.metainfo.xml share/icons/hicolor/scalable/apps/$id.svg \
    share/icons/hicolor/{48x48,64x64,128x128,256x256}/apps/$id.png \
    share/man/man1/{qelvora,qelvora-ask,qelvora-sites}.1.gz \
    share/doc/qelvora/copyright share/doc/qelvora/changelog.gz; do
    echo "-rw-r--r-- root/root ./usr/$f"
  done
} | sort >"$scratch/want.list"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort >"$scratch/got.list"
diff -u "$scratch/want.list" "$scratch/got.list" >&2 || fail "the package's file list differs (- wanted, + found)"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# dpkg-shlibdeps ran (libraries with versions), and what is loaded at run time is there too.
for dep in 'libc6 (>= ' 'libcurl4 (>= ' 'libgd3 (>= ' 'libqt6widgets6 (>= ' \
  'fonts-wqy-microhei | fonts-noto-cjk' libopencc-data libqt6gui6 libqt6multimedia6 qt6-wayland; do
  grep -qF -- "$dep" <<<"$depends" || fail "Depends lacks '$dep'"
done
grep -qw xdg-utils <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "Recommends lacks xdg-utils"
for field in Package:qelvora Version:$version Architecture:amd64; do
  [ "$(dpkg-deb -f "$deb" "${field%%:*}")" = "${field#*:}" ] || fail "control field ${field%%:*}"
done

# The service scripts, run against a scratch root as dpkg would run them there: install enables
# the unit, removal masks it, purge leaves nothing behind.
dpkg-deb -e "$deb" "$scratch/control"
grep -qx 'interest-noawait /usr/share/man/zh_CN' "$scratch/control/triggers" ||
  fail "no trigger rebuilds the index when the Chinese manual pages change"
grep -qx /etc/apt/apt.conf.d/80qelvora-sites "$scratch/control/conffiles" ||
  fail "the APT hook is not a conffile"
sysroot=$scratch/sysroot
mkdir -p "$sysroot/usr/lib/systemd/system"
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$sysroot" ./usr/lib/systemd/system/qelvora-sites.service
grep -qx "ExecStart=/usr/bin/qelvora-sites --listen 127.0.0.1 --port 8750 --no-build" \
  "$sysroot/usr/lib/systemd/system/qelvora-sites.service" || fail "ExecStart of the packaged unit"
wants=$sysroot/etc/systemd/system/multi-user.target.wants/qelvora-sites.service
mask=$sysroot/etc/systemd/system/qelvora-sites.service
run_script() {
  DPKG_ROOT=$sysroot DPKG_MAINTSCRIPT_PACKAGE=qelvora DPKG_MAINTSCRIPT_NAME=$1 \
    "$scratch/control/$1" "${@:2}" || fail "$* failed"
}
run_script postinst configure
[ -L "$wants" ] || fail "postinst configure did not enable the unit"
run_script prerm remove
rm "$sysroot/usr/lib/systemd/system/qelvora-sites.service"
run_script postrm remove
[ "$(readlink "$mask")" = /dev/null ] || fail "postrm remove did not mask the unit"
run_script postrm purge
left=$(find "$sysroot/etc" "$sysroot/var" -mindepth 1 \( -type f -o -type l \) 2>/dev/null)
[ -z "$left" ] || fail "postrm purge left: $left"

# The unpacked package runs: versions, the window for a moment, answers from its own sites.
dpkg-deb -x "$deb" "$scratch/unpacked"
prefix=$scratch/unpacked/usr
for program in qelvora qelvora-ask qelvora-sites; do
  expect_version "$prefix/bin/$program" "$program" "$version"
done
rc=0
(cd "$scratch" && XDG_DATA_HOME=$scratch/data timeout 2 "$prefix/bin/qelvora" -platform offscreen \
  >/dev/null 2>"$scratch/window.err") || rc=$?
[ "$rc" = 124 ] || fail "the window ended by itself (exit $rc): $(head -c 400 "$scratch/window.err")"
check_answers "$prefix" "$source_dir" "$expected_answer" "$scratch/run"

if command -v lintian >/dev/null; then
  lintian --fail-on error --tag-display-limit 0 "$deb" >"$scratch/lintian.out" 2>&1 ||
    fail "lintian reports errors"
  echo "lintian:"
  cat "$scratch/lintian.out"
else
  echo "lintian is not installed (scripts/setup installs it): its check was skipped"
  [ "$failures" = 0 ] && exit 77
fi

[ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "the package passed every check"
