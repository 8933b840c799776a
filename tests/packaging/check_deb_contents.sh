#!/usr/bin/env bash
# Checks the built Debian package: its file list, owners and modes, its control fields and
# declared dependencies, that the files it carries are the ones in the source tree, and that
# lintian finds no error in it (its warnings are printed).
# usage: check_deb_contents.sh DEB_DIR WORK_DIR SOURCE_LINUX_DIR
set -euo pipefail
deb_dir="$1"
work="$2"
source_dir="$3"

app_id=example.brevanto.OrviUpdater
icon_sizes=(16 24 32 48 64 128 256)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

shopt -s nullglob
debs=("$deb_dir"/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one .deb in $deb_dir"; exit 1; }
deb="${debs[0]}"
rm -rf "$work"
mkdir -p "$work"

expected=(
    ./usr/bin/orvi-updater
    ./usr/lib/udev/rules.d/70-orvi-updater.rules
    ./usr/share/applications/$app_id.desktop
    ./usr/share/doc/orvi-updater/changelog.gz
    ./usr/share/doc/orvi-updater/copyright
    ./usr/share/man/man1/orvi-updater.1.gz
    ./usr/share/metainfo/$app_id.metainfo.xml
)
for size in "${icon_sizes[@]}"; do
    expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png")
done

dpkg-deb -c "$deb" | tee "$work/contents.txt"
awk '$1 !~ /^d/ { print $6 }' "$work/contents.txt" | sort > "$work/files.txt"
printf '%s\n' "${expected[@]}" | sort > "$work/expected.txt"
if ! diff -u "$work/expected.txt" "$work/files.txt"; then
    fail "package files differ from the expected list (- missing, + unexpected)"
fi

while read -r mode owner _ _ _ path _; do
    [ "$owner" = root/root ] || fail "$path is owned by $owner"
    case "$mode:$path" in
        d*) want=drwxr-xr-x ;;
        *:./usr/bin/*) want=-rwxr-xr-x ;;
        *) want=-rw-r--r-- ;;
    esac
    [ "$mode" = "$want" ] || fail "$path has mode $mode, expected $want"
done < "$work/contents.txt"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orvi-updater ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = 2.0.2 ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[ "$(field Description | wc -l)" -gt 1 ] || fail "Description has no long description"
# dpkg-shlibdeps must have found the libraries the program links.
depends="$(field Depends)"
echo "Depends: $depends"
for library in libc6 libstdc++6 libhidapi-hidraw0 libqt5core5a libqt5gui5 libqt5widgets5 libqt5network5; do
    [[ ", $depends," == *", $library "* || ", $depends," == *", $library,"* ]] || fail "Depends lacks $library"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
for name in share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml \
    lib/udev/rules.d/70-orvi-updater.rules share/doc/orvi-updater/copyright; do
    cmp "$source_dir/$(basename "$name")" "$root/usr/$name" || fail "installed $name differs from the source"
done
for name in man/man1/orvi-updater.1 doc/orvi-updater/changelog; do
    zcat "$root/usr/share/$name.gz" | cmp "$source_dir/$(basename "$name")" - || fail "installed $name differs"
done
# The version in the changelog is the package's, and the manual page renders without a warning.
[ "$(zcat "$root/usr/share/doc/orvi-updater/changelog.gz" | dpkg-parsechangelog -l- -S Version)" = 2.0.2 ] \
    || fail "the changelog's version is not the package's"
man_warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/orvi-updater.1.gz" 2>&1 >/dev/null)"
[ -z "$man_warnings" ] || fail "the manual page renders with warnings: $man_warnings"
for size in "${icon_sizes[@]}"; do
    icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    description="$(file -b "$icon")"
    [[ "$description" == "PNG image data, $size x $size, 8-bit/color RGBA"* ]] \
        || fail "${size} px icon is '$description'"
done
program_type="$(file -b "$root/usr/bin/orvi-updater")"
[[ "$program_type" == ELF*executable* && "$program_type" != *"not stripped"* ]] \
    || fail "program is '$program_type', expected a stripped executable"

# Errors fail the check; warnings are listed for whoever reads the log.
if ! lintian --fail-on error --display-level ">=warning" --tag-display-limit 0 "$deb" 2>&1 | tee "$work/lintian.txt"; then
    fail "lintian reports errors"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "package contents are as expected"
