#!/usr/bin/env python3
"""Checks the udev rule: only the hidraw node of an Orvi or Orvi+ gets the uaccess tag, early
enough for the seat rules, and the devices it opens are the ones the metainfo announces. Runs
`udevadm verify` as well when this udev has it.

usage: check_udev_rule.py RULES_FILE METAINFO_FILE
"""
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

EXPECTED = {("7a3c", "0042"), ("7a3c", "0043")}
# 73-seat-late.rules turns uaccess tags into access lists; a later rule would come too late.
SEAT_LATE_ORDER = 73
PAIR = re.compile(r'\s*([A-Z_]+)(?:\{([^}]+)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(,|$)')
# Exactly these keys: anything else widens or narrows the match, or grants more than the tag.
RULE_SHAPE = {("SUBSYSTEM", None, "=="), ("KERNEL", None, "=="), ("ATTRS", "idVendor", "=="),
              ("ATTRS", "idProduct", "=="), ("TAG", None, "+=")}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def rule_products(text):
    products = set()
    for number, line in enumerate(text.replace("\\\n", "").splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        pairs, position = {}, 0
        while position < len(line):
            found = PAIR.match(line, position)
            if not found:
                check(False, f"line {number}: cannot parse {line[position:]!r}")
                break
            key, attribute, operator, value, _ = found.groups()
            pairs[(key, attribute, operator)] = value
            position = found.end()
        check(set(pairs) == RULE_SHAPE, f"line {number}: keys {sorted(map(str, pairs))} are not the expected ones")
        check(pairs.get(("SUBSYSTEM", None, "==")) == "hidraw" and pairs.get(("KERNEL", None, "==")) == "hidraw*"
              and pairs.get(("TAG", None, "+=")) == "uaccess", f"line {number} does not tag hidraw nodes only")
        products.add((pairs.get(("ATTRS", "idVendor", "==")), pairs.get(("ATTRS", "idProduct", "=="))))
    return products


def announced_products(metainfo_path):
    products = set()
    for modalias in ET.parse(metainfo_path).getroot().findall("provides/modalias"):
        found = re.fullmatch(r"usb:v([0-9A-F]{4})p([0-9A-F]{4})d\*", modalias.text or "")
        check(found is not None, f"modalias {modalias.text!r} is not usb:vVVVVpPPPPd*")
        if found:
            products.add((found.group(1).lower(), found.group(2).lower()))
    return products


def run_udevadm_verify(path):
    udevadm = shutil.which("udevadm")
    if not udevadm or subprocess.run([udevadm, "verify", "--help"], capture_output=True).returncode != 0:
        print("udevadm verify is not available here; skipped")
        return
    result = subprocess.run([udevadm, "verify", "--resolve-names=never", path], capture_output=True, text=True)
    print(result.stdout + result.stderr)
    check(result.returncode == 0, "udevadm verify rejected the rule")


def main():
    rules_path, metainfo_path = sys.argv[1:3]
    name = os.path.basename(rules_path)
    order = re.match(r"(\d+)-.+\.rules$", name)
    check(order is not None and int(order.group(1)) < SEAT_LATE_ORDER,
          f"{name} is not named NN-name.rules with NN below {SEAT_LATE_ORDER}")
    with open(rules_path, encoding="utf-8") as rules_file:
        products = rule_products(rules_file.read())
    check(products == EXPECTED, f"rule opens {sorted(products)}, expected {sorted(EXPECTED)}")
    announced = announced_products(metainfo_path)
    check(announced == EXPECTED, f"metainfo announces {sorted(announced)}, expected {sorted(EXPECTED)}")
    run_udevadm_verify(rules_path)

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
