# A local update site and a private home for running the real orvi-updater against an emulated
# Orvi+: component images made by the image builder, a manifest with their SHA-256 digests signed
# with a minisign key made for the occasion, a web server on 127.0.0.1, and settings (which trust
# that key), temporary and runtime folders of its own.
# Sourced by scripts/demo and by the test that drives the program through its window.
#
#   update_site_start WORK MAKE_IMAGE   makes WORK/site, starts the server, writes the settings;
#                                       sets UPDATE_SITE_PID and UPDATE_SITE_MANIFEST and exports
#                                       XDG_CONFIG_HOME, TMPDIR and XDG_RUNTIME_DIR inside WORK
#
# The device carries every component one step older than the site offers. Content stays within
# one 64 KiB sector, firmware small, and the restart short, so that the whole update of all four
# components takes about half a minute.

UPDATE_SITE_DEVICE="model=plus,serial=DEMO0001,mcu=0x0311,dsp=0x0311,styles=2,ensemble=5,ready=2,reboot-ms=2000,pacing-us=1000"
UPDATE_SITE_SERIAL=DEMO0001
# What the device should hold once every offered component is installed (the emulator's summary).
UPDATE_SITE_INSTALLED="mcu 0x0312, dsp 0x0312, styles 0x0003, ensemble 0x0006"

update_site_component() {  # name version-in-manifest builder-kind builder-version size file
    local digest
    digest="$("$make_image" "$3" "$4" "$5" "$site/$6")" || return 1
    printf '      <Component Name="%s" Version="%s" ReleaseDate="2026-12-01" URL="%s" SHA256="%s"/>\n' \
        "$1" "$2" "$base/$6" "$digest"
}

update_site_start() {
    local work="$1" make_image="$2"
    local site="$work/site/brev-orvi-plus"
    mkdir -p "$site" "$work/config/Brevanto" "$work/tmp" "$work/runtime" || return 1
    chmod 700 "$work/runtime"

    # Made before the server starts, so that reading it cannot fail (and end a caller under set -e).
    : >"$work/server.log"
    python3 -u "$(dirname "${BASH_SOURCE[0]}")/update_server.py" "$work/site" >"$work/server.log" 2>&1 &
    UPDATE_SITE_PID=$!
    local port=""
    for _ in $(seq 100); do
        port="$(sed -n 's/^PORT \([0-9]*\) .*/\1/p' "$work/server.log")"
        [ -n "$port" ] && break
        sleep 0.1
    done
    if [ -z "$port" ]; then
        echo "the update server did not start:" >&2
        cat "$work/server.log" >&2
        return 1
    fi
    local base="http://127.0.0.1:$port/brev-orvi-plus"
    UPDATE_SITE_MANIFEST="$base/op-manifest.xml"

    local components
    components="$(update_site_component MP 3.1.2 mcu 0x0312 49152 plus-mcu.bin &&
                  update_site_component DSP 3.1.2 dsp 0x0312 8192 plus-dsp.ldr &&
                  update_site_component Styles 0x0003 styles 3 40000 plus-styles.bin &&
                  update_site_component Ensemble 0x00000006 ensemble 6 65536 plus-ensemble.flac)" || return 1
    # The program asks the size of every file listed, its own installers too.
    echo "not an installer" >"$site/orvi-updater.dmg"
    echo "not an installer" >"$site/orvi-updater.exe"
    local installer_digest
    installer_digest="$(sha256sum "$site/orvi-updater.dmg" | cut -d' ' -f1)"
    # Written under another name and moved, so that a check never reads half a manifest.
    cat >"$site/.op-manifest.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<Family Name="ORVI">
  <Product Name="ORVI+">
    <Components>
$components
    </Components>
  </Product>
  <Product Name="Orvi Updater">
    <Components>
      <Component Name="Mac" Version="2.0.2" ReleaseDate="2026-12-01" URL="$base/orvi-updater.dmg" SHA256="$installer_digest"/>
      <Component Name="Win" Version="2.0.2" ReleaseDate="2026-12-01" URL="$base/orvi-updater.exe" SHA256="$installer_digest"/>
    </Components>
  </Product>
</Family>
EOF
    # Signed as a publisher signs, and only this site's key trusted.
    mkdir -p "$work/config/Brevanto/trusted-keys" || return 1
    minisign -G -W -p "$work/config/Brevanto/trusted-keys/update-site.pub" -s "$work/update-site.key" >/dev/null &&
        minisign -S -s "$work/update-site.key" -m "$site/.op-manifest.xml" -x "$site/op-manifest.xml.minisig" \
            >/dev/null || return 1
    mv "$site/.op-manifest.xml" "$site/op-manifest.xml"

    cat >"$work/config/Brevanto/Orvi Updater.conf" <<EOF
[General]
version=1

[update]
manifest-url=$UPDATE_SITE_MANIFEST
EOF
    # The program's settings, lock and working folder: none of the user's own.
    export XDG_CONFIG_HOME="$work/config" TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/runtime"
}
