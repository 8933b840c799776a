#!/usr/bin/env python3
"""Validates the desktop entry and the AppStream metainfo with the freedesktop tools, checks that
they and the udev rule name the same application, program and devices, and that the rule tags
only the hidraw nodes of an Orvi or Orvi+, early enough for the seat rules.

usage: check_desktop_files.py DESKTOP_FILE METAINFO_FILE RULES_FILE PROGRAM_NAME
"""
import configparser
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

DEVICES = {("7a3c", "0042"), ("7a3c", "0043")}
RULE = re.compile(r'SUBSYSTEM=="hidraw", KERNEL=="hidraw\*", ATTRS\{idVendor\}=="(\w+)", '
                  r'ATTRS\{idProduct\}=="(\w+)", TAG\+="uaccess"')
failures = []


def validator_passes(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    output = (result.stdout + result.stderr).strip()
    print("$ " + " ".join(command) + "\n" + output)
    # Any hint counts: an entry that only warns today is ignored by some desktops.
    return result.returncode == 0 and (command[0] != "desktop-file-validate" or output == "")


def main():
    desktop_path, metainfo_path, rules_path, program = sys.argv[1:5]
    # "example" is a reserved top-level domain the validator does not know; every other issue fails.
    for command in (["desktop-file-validate", desktop_path],
                    ["appstreamcli", "validate", "--no-net", "--strict", "--override=cid-maybe-not-rdns=pedantic",
                     metainfo_path]):
        if not validator_passes(*command):
            failures.append(command[0] + " reported problems")

    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str
    parser.read(desktop_path, encoding="utf-8")
    entry = parser["Desktop Entry"]
    desktop_id = os.path.basename(desktop_path)
    app_id = desktop_id[:-len(".desktop")]
    component = ET.parse(metainfo_path).getroot()
    with open(rules_path, encoding="utf-8") as rules_file:
        rules = [line.strip() for line in rules_file.read().replace("\\\n", "").splitlines()]
    # Any other key would widen or narrow the match, or grant more than the tag.
    tagged = [RULE.fullmatch(line) for line in rules if line and not line.startswith("#")]
    modaliases = [re.fullmatch(r"usb:v([0-9A-F]{4})p([0-9A-F]{4})d\*", alias.text or "")
                  for alias in component.findall("provides/modalias")]
    # 73-seat-late.rules turns uaccess tags into access lists; a later rule would come too late.
    order = re.match(r"(\d+)-.+\.rules$", os.path.basename(rules_path))
    checks = {
        "metainfo id": (component.findtext("id"), app_id),
        "metainfo launchables": ([l.text for l in component.findall("launchable[@type='desktop-id']")], [desktop_id]),
        "metainfo name": (component.findtext("name"), entry.get("Name")),
        "metainfo binaries": ([b.text for b in component.findall("provides/binary")], [program]),
        "desktop Icon": (entry.get("Icon"), app_id),
        "program of desktop Exec": (entry.get("Exec", "").split()[:1], [program]),
        # X11 desktops match windows to the entry by the instance part of WM_CLASS, the program name.
        "desktop StartupWMClass": (entry.get("StartupWMClass"), program),
        "devices the rule tags": ({m and (m[1], m[2]) for m in tagged}, DEVICES),
        "devices the metainfo announces": ({m and (m[1].lower(), m[2].lower()) for m in modaliases}, DEVICES),
        "rule comes before the seat rules": (bool(order) and int(order[1]) < 73, True),
    }
    failures.extend(f"{what}: {found!r}, expected {wanted!r}" for what, (found, wanted) in checks.items()
                    if found != wanted)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
