#!/usr/bin/env python3
"""The service's administrative template as the tests read it: its policies, the
registry values each writes when enabled and when disabled, and the checks that
the template and its language file agree.

As a script: `policy_template.py writes ADMX` prints one line per policy,
tab-separated: name, key, value name, kind ("decimal MIN MAX" for a number the
administrator enters, "switch ON OFF" for an enabled/disabled value), and what
disabling writes ("delete" or the value).
"""
import re
import sys
import xml.etree.ElementTree as ET

NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
REF = re.compile(r"\$\((string|presentation)\.([^)]+)\)")


class Policy:
    def __init__(self, name, key, value_name, kind, low, high, on, off):
        self.name, self.key, self.value_name = name, key, value_name
        self.kind = kind          # "decimal" or "switch"
        self.low, self.high = low, high   # decimal: the range the editor allows
        self.on, self.off = on, off       # switch: values written; decimal: off is None (deleted)


def policies(admx_path):
    """Every policy of the template, as the policy engine would write it."""
    found = []
    for policy in ET.parse(admx_path).getroot().iterfind("p:policies/p:policy", NS):
        name, key = policy.get("name"), policy.get("key")
        decimals = policy.findall("p:elements/p:decimal", NS)
        if decimals:
            if len(decimals) != 1 or policy.get("valueName") is not None:
                raise ValueError(f"{name}: one decimal element and no value of its own expected")
            element = decimals[0]
            found.append(Policy(name, element.get("key", key), element.get("valueName"), "decimal",
                                int(element.get("minValue", "0")), int(element.get("maxValue", "4294967295")),
                                None, None))
            continue
        on = policy.find("p:enabledValue/p:decimal", NS)
        off = policy.find("p:disabledValue/p:decimal", NS)
        if policy.get("valueName") is None or on is None or off is None:
            raise ValueError(f"{name}: a value name with decimal enabled and disabled values expected")
        found.append(Policy(name, key, policy.get("valueName"), "switch", None, None,
                            int(on.get("value")), int(off.get("value"))))
    return found


def faults(admx_path, adml_path):
    """What is wrong between the template and its language file; empty when nothing."""
    problems = []
    admx = ET.parse(admx_path).getroot()
    adml = ET.parse(adml_path).getroot()
    strings = {s.get("id") for s in adml.iterfind("p:resources/p:stringTable/p:string", NS)}
    presentations = {p.get("id"): p for p in adml.iterfind("p:resources/p:presentationTable/p:presentation", NS)}
    for element in admx.iter():
        for attribute, value in element.attrib.items():
            for kind, ref in REF.findall(value):
                table = strings if kind == "string" else presentations
                if ref not in table:
                    problems.append(f"{kind} {ref} (in {attribute}) missing from the language file")
    categories = {c.get("name") for c in admx.iterfind("p:categories/p:category", NS)}
    supported = {d.get("name") for d in admx.iterfind("p:supportedOn/p:definitions/p:definition", NS)}
    for policy in admx.iterfind("p:policies/p:policy", NS):
        name = policy.get("name")
        for parent in policy.iterfind("p:parentCategory", NS):
            if parent.get("ref") not in categories:
                problems.append(f"{name}: category {parent.get('ref')} not defined")
        for support in policy.iterfind("p:supportedOn", NS):
            if support.get("ref") not in supported:
                problems.append(f"{name}: supportedOn {support.get('ref')} not defined")
        element_ids = {e.get("id") for e in policy.iterfind("p:elements/*", NS)}
        match = REF.fullmatch(policy.get("presentation", ""))
        shown = set()
        if match and match.group(2) in presentations:
            shown = {child.get("refId") for child in presentations[match.group(2)]}
        if shown != element_ids:
            problems.append(f"{name}: elements {sorted(element_ids)} but presentation shows {sorted(shown)}")
    return problems


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "writes":
        sys.exit("usage: policy_template.py writes ADMX")
    for p in policies(sys.argv[2]):
        kind = f"decimal {p.low} {p.high}" if p.kind == "decimal" else f"switch {p.on} {p.off}"
        off = "delete" if p.kind == "decimal" else str(p.off)
        print("\t".join([p.name, p.key, p.value_name, kind, off]))
