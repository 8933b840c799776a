#!/usr/bin/env python3
"""Parses the udev rule and replays udev's matching against sample device trees: the hidraw node
of an Orvi or Orvi+ must get the uaccess tag, nothing else may. The devices the rule opens must be
the ones the metainfo announces. Runs `udevadm verify` as well when this udev has it.

usage: check_udev_rule.py RULES_FILE METAINFO_FILE
"""
import fnmatch
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

VENDOR = "7a3c"
PRODUCTS = {"0042", "0043"}
# 73-seat-late.rules turns uaccess tags into access lists; a later rule would come too late.
SEAT_LATE_ORDER = 73

PAIR = re.compile(r'\s*([A-Z_]+)(?:\{([^}]+)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(,|$)')
MATCH_KEYS = {"ACTION", "SUBSYSTEM", "KERNEL", "ATTRS", "SUBSYSTEMS", "KERNELS"}
PARENT_KEYS = {"ATTRS", "SUBSYSTEMS", "KERNELS"}
ASSIGN_KEYS = {"TAG", "MODE", "GROUP"}

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def parse_rules(text):
    """Returns one list of (key, attribute, operator, value) per rule line."""
    rules = []
    logical = text.replace("\\\n", "")
    for number, line in enumerate(logical.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        pairs, position = [], 0
        while position < len(line):
            found = PAIR.match(line, position)
            if not found:
                failures.append(f"line {number}: cannot parse {line[position:]!r}")
                break
            key, attribute, operator, value, _ = found.groups()
            known = MATCH_KEYS if operator in ("==", "!=") else ASSIGN_KEYS
            check(key in known, f"line {number}: {key} {operator} is not expected in this rule")
            pairs.append((key, attribute, operator, value))
            position = found.end()
        rules.append(pairs)
    return rules


def value_matches(pattern, actual):
    return actual is not None and any(fnmatch.fnmatchcase(actual, p) for p in pattern.split("|"))


def key_holds(operator, pattern, actual):
    matched = value_matches(pattern, actual)
    return matched if operator == "==" else not matched


def tags_for(rules, device):
    """device: dict with action, kernel, subsystem and parents (the device itself first), each
    parent a dict with kernel, subsystem and attrs."""
    tags = set()
    for rule in rules:
        own = [p for p in rule if p[0] not in PARENT_KEYS and p[2] in ("==", "!=")]
        parent = [p for p in rule if p[0] in PARENT_KEYS]
        own_fields = {"ACTION": device["action"], "KERNEL": device["kernel"],
                      "SUBSYSTEM": device["subsystem"]}
        if not all(key_holds(op, value, own_fields[key]) for key, _, op, value in own):
            continue

        def parent_holds(node):
            fields = {"KERNELS": node["kernel"], "SUBSYSTEMS": node["subsystem"]}
            return all(key_holds(op, value, node["attrs"].get(attribute) if key == "ATTRS"
                                 else fields[key]) for key, attribute, op, value in parent)
        # udev wants every parent key satisfied by one and the same device in the chain.
        if parent and not any(parent_holds(node) for node in device["parents"]):
            continue
        for key, _, op, value in rule:
            if key == "TAG" and op == "+=":
                tags.add(value)
            elif key == "TAG" and op == "-=":
                tags.discard(value)
    return tags


def usb_device_tree(kernel, subsystem, vendor, product, action="add"):
    usb_device = {"kernel": "1-2", "subsystem": "usb",
                  "attrs": {"idVendor": vendor, "idProduct": product, "manufacturer": "Brevanto"}}
    interface = {"kernel": "1-2:1.0", "subsystem": "usb", "attrs": {"bInterfaceClass": "03"}}
    hid = {"kernel": f"0003:{vendor.upper()}:{product.upper()}.0001", "subsystem": "hid",
           "attrs": {}}
    node = {"kernel": kernel, "subsystem": subsystem, "attrs": {"dev": "240:0"}}
    return {"action": action, "kernel": kernel, "subsystem": subsystem,
            "parents": [node, hid, interface, usb_device]}


def check_matching(rules):
    for product in sorted(PRODUCTS):
        for action in ("add", "change"):
            tags = tags_for(rules, usb_device_tree("hidraw3", "hidraw", VENDOR, product, action))
            check("uaccess" in tags, f"hidraw node of {VENDOR}:{product} ({action}) gets no uaccess")
    strangers = [
        ("hidraw3", "hidraw", VENDOR, "0044", "another product of the vendor"),
        ("hidraw3", "hidraw", "046d", "0042", "another vendor's product 0042"),
        ("event7", "input", VENDOR, "0042", "the Orvi's input event node"),
        ("1-2", "usb", VENDOR, "0042", "the Orvi's raw USB device"),
    ]
    for kernel, subsystem, vendor, product, what in strangers:
        tags = tags_for(rules, usb_device_tree(kernel, subsystem, vendor, product))
        check("uaccess" not in tags, f"{what} gets uaccess")


def matched_products(rules):
    products = set()
    for rule in rules:
        values = {(key, attribute): value for key, attribute, op, value in rule if op == "=="}
        if ("TAG", None) in {(k, a) for k, a, op, _ in rule if op == "+="}:
            products.add((values.get(("ATTRS", "idVendor")), values.get(("ATTRS", "idProduct"))))
    return products


def announced_products(metainfo_path):
    component = ET.parse(metainfo_path).getroot()
    products = set()
    for modalias in component.findall("provides/modalias"):
        found = re.fullmatch(r"usb:v([0-9A-F]{4})p([0-9A-F]{4})d\*", modalias.text or "")
        check(found is not None, f"modalias {modalias.text!r} is not usb:vVVVVpPPPPd*")
        if found:
            products.add((found.group(1).lower(), found.group(2).lower()))
    return products


def run_udevadm_verify(path):
    udevadm = shutil.which("udevadm")
    if not udevadm or subprocess.run([udevadm, "verify", "--help"],
                                     capture_output=True).returncode != 0:
        print("udevadm verify is not available here; skipped")
        return
    result = subprocess.run([udevadm, "verify", "--resolve-names=never", path],
                            capture_output=True, text=True)
    print(result.stdout + result.stderr)
    check(result.returncode == 0, "udevadm verify rejected the rule")


def main():
    rules_path, metainfo_path = sys.argv[1:3]
    name = os.path.basename(rules_path)
    order = re.match(r"(\d+)-.+\.rules$", name)
    check(order is not None, f"{name} is not named NN-name.rules")
    check(order is not None and int(order.group(1)) < SEAT_LATE_ORDER,
          f"{name} runs after the seat rules")

    with open(rules_path, encoding="utf-8") as rules_file:
        rules = parse_rules(rules_file.read())
    check(len(rules) > 0, "no rules found")
    check_matching(rules)

    expected = {(VENDOR, product) for product in PRODUCTS}
    check(matched_products(rules) == expected,
          f"rule opens {sorted(matched_products(rules))}, expected {sorted(expected)}")
    check(announced_products(metainfo_path) == expected,
          f"metainfo announces {sorted(announced_products(metainfo_path))}, expected {sorted(expected)}")
    run_udevadm_verify(rules_path)

    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
