#!/usr/bin/env python3
"""The administrative template against its language file and against the service:
every string and presentation it refers to is there, and every policy writes the
key and a value name the service reads (taken from the service's own source)."""
import os
import re
import sys
import tempfile
import unittest

SOURCE = os.environ.get("VEXA_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "tools"))
import policy_template  # noqa: E402

ADMX = os.path.join(SOURCE, "package", "policy", "Vexaclkd.admx")
ADML = os.path.join(SOURCE, "package", "policy", "en-US", "Vexaclkd.adml")
SETTINGS = os.path.join(SOURCE, "service", "service_settings.cpp")
# The clock's range in kHz: 4,294,967,295 Hz.
CLOCK_TOP_KHZ = 4294967


def service_reads():
    """The policy key and the value names, as the service's source spells them."""
    with open(SETTINGS, encoding="utf-8") as source:
        text = source.read()
    key = re.search(r'kPolicyKey\[\] = "([^"]*)"', text).group(1).replace("\\\\", "\\")
    names = re.search(r"kAdministratorValueNames\[[^]]*\] = \{([^}]*)\}", text).group(1)
    return key, re.findall(r'"([^"]+)"', names)


class PolicyTemplateTest(unittest.TestCase):
    def test_language_file_holds_everything_the_template_refers_to(self):
        self.assertEqual(policy_template.faults(ADMX, ADML), [])

    def test_each_policy_writes_a_value_the_service_reads(self):
        key, names = service_reads()
        self.assertEqual(len(names), 3, names)
        found = policy_template.policies(ADMX)
        self.assertEqual(sorted(p.value_name for p in found), sorted(names), "one policy per setting")
        for p in found:
            with self.subTest(policy=p.name):
                self.assertEqual(p.key, key)
                if p.kind == "decimal":
                    # A limit of 0 is ignored by the service; the editor must not offer one.
                    self.assertGreaterEqual(p.low, 1)
                    self.assertLessEqual(p.high, CLOCK_TOP_KHZ)
                else:
                    self.assertEqual((p.on, p.off), (1, 0), "the restore switch the service knows")

    def test_a_broken_template_is_caught(self):
        """The checks themselves: a reference to a string the language file lacks."""
        with open(ADMX, encoding="utf-8") as template:
            text = template.read()
        text = text.replace("$(string.MaxFrequencyKHz_Explain)", "$(string.NoSuchText)")
        with tempfile.NamedTemporaryFile("w", suffix=".admx", delete=False) as broken:
            broken.write(text)
        try:
            self.assertEqual(policy_template.faults(broken.name, ADML),
                             ["string NoSuchText (in explainText) missing from the language file"])
        finally:
            os.unlink(broken.name)


if __name__ == "__main__":
    unittest.main()
