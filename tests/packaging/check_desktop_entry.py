#!/usr/bin/env python3
"""Validates the desktop entry and the AppStream metainfo with the freedesktop tools and checks
that both name the same application, icon and program.

usage: check_desktop_entry.py DESKTOP_FILE METAINFO_FILE PROGRAM_NAME
"""
import configparser
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run_validator(command):
    result = subprocess.run(command, capture_output=True, text=True)
    output = (result.stdout + result.stderr).strip()
    print("$ " + " ".join(command) + "\n" + output)
    return result.returncode, output


def main():
    desktop_path, metainfo_path, program = sys.argv[1:4]

    # Any hint counts: an entry that only warns today is ignored by some desktops.
    code, output = run_validator(["desktop-file-validate", desktop_path])
    check(code == 0 and output == "", "desktop-file-validate reported problems")

    # "example" is a reserved top-level domain the validator does not know; every other issue fails.
    code, _ = run_validator(["appstreamcli", "validate", "--no-net", "--strict",
                             "--override=cid-maybe-not-rdns=pedantic", metainfo_path])
    check(code == 0, "appstreamcli validate reported problems")

    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str
    parser.read(desktop_path, encoding="utf-8")
    entry = parser["Desktop Entry"]
    desktop_id = os.path.basename(desktop_path)
    app_id = desktop_id[:-len(".desktop")]

    component = ET.parse(metainfo_path).getroot()
    check(component.findtext("id") == app_id,
          f"metainfo id {component.findtext('id')!r} differs from desktop id {app_id!r}")
    check(os.path.basename(metainfo_path) == app_id + ".metainfo.xml",
          "metainfo file is not named after the component id")
    launchables = [l.text for l in component.findall("launchable[@type='desktop-id']")]
    check(launchables == [desktop_id], f"metainfo launchable {launchables} is not {desktop_id!r}")
    check(component.findtext("name") == entry.get("Name") == "Orvi Updater",
          "application name differs between desktop entry and metainfo")
    binaries = [b.text for b in component.findall("provides/binary")]
    check(binaries == [program], f"metainfo provides binaries {binaries}, program is {program!r}")

    check(entry.get("Icon") == app_id, f"desktop Icon {entry.get('Icon')!r} is not {app_id!r}")
    exec_words = entry.get("Exec", "").split()
    check(exec_words[:1] == [program], f"desktop Exec {entry.get('Exec')!r} does not start {program!r}")
    # X11 desktops match windows to the entry by the instance part of WM_CLASS, the program name.
    check(entry.get("StartupWMClass") == program, "StartupWMClass is not the program name")

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
