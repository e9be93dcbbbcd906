#!/usr/bin/env python3
"""The template check refuses broken templates: each change below, made to a copy of the
repository's files, must bring the problem named with it. Prints one line per change that
went unnoticed and "N passed, N failed"."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import admx_check  # noqa: E402

ADMX = (admx_check.ROOT / "packaging" / "tagwright.admx").read_text(encoding="utf-8")
ADML = (admx_check.ROOT / "packaging" / "en-US" / "tagwright.adml").read_text(encoding="utf-8")

# (file, text, replacement, the start of the problem it must bring)
CHANGES = [
    ("admx", "</policies>", "</policy>", "the ADMX is not well-formed"),
    ("adml", "</stringTable>", "", "the ADML is not well-formed"),
    ("admx", 'valueName="Delay"', 'valueName="Dealy"', "a policy writes Dealy"),
    ("admx", 'valueName="CheckStatus"', 'valueName="Check"', "a policy writes Check"),
    ("admx", "<string>TCP/IP</string>", "<string>TCP</string>", "policy PrinterType element"),
    ("admx", "<string>received</string>", "<string>Received</string>", "policy Confirm element"),
    ("admx", 'minValue="1" maxValue="10"', 'minValue="1" maxValue="11"', "policy Attempts element"),
    ("admx", 'maxValue="86400" storeAsText="true"', 'maxValue="86400"', "policy Timeout element"),
    ("admx", '<enabledValue><string>1</string></enabledValue>',
     '<enabledValue><decimal value="1"/></enabledValue>', "policy CheckStatus: enabledValue"),
    ("admx", 'explicitValue="true"', "", "policy Printers element"),
    ("adml", '<string id="Printers_Explain">', '<string id="Printers_Explained">',
     "policy Printers explainText: $(string.Printers_Explain) is not in the ADML"),
    ("adml", '<decimalTextBox refId="Delay"', '<decimalTextBox refId="Delays"',
     "policy Delay: the presentation shows"),
    ("adml", '<presentation id="Port">', '<presentation id="Ports">',
     "policy Port presentation: $(presentation.Port) is not in the ADML"),
    ("admx", 'explainText="$(string.Port_Explain)" ', "", "policy Port has no explainText"),
    ("admx", 'class="Machine" displayName="$(string.Parity)"', 'class="Computer" displayName="$(string.Parity)"',
     "policy Parity: class Computer"),
    ("admx", '<parentCategory ref="Tagwright"/>', '<parentCategory ref="Tagwrite"/>',
     "policy Printer: \"Tagwrite\" is not defined here"),
    ("admx", '<using prefix="windows" namespace="Microsoft.Policies.Windows"/>', "",
     "policy Printer: the prefix of \"windows:SUPPORTED_Windows7\""),
    ("admx", '<resources minRequiredRevision="1.0"/>\n', "", "the ADMX: no <resources>"),
    ("admx", '<categories>', '<resources minRequiredRevision="1.0"/><categories>',
     "the ADMX: more than one <resources>"),
    ("admx", 'key="Software\\Policies\\Velmora Software\\Tagwright\\1.0"\n            presentation="$(presentation.Delay)"',
     'key="Software\\Velmora Software\\Tagwright\\1.0"\n            presentation="$(presentation.Delay)"',
     "policy Delay: key"),
]

passed = failed = 0
for file, text, replacement, expected in CHANGES:
    source = ADMX if file == "admx" else ADML
    if text not in source:
        failed += 1
        print(f"FAIL the {file} has no {text!r} to change")
        continue
    changed = source.replace(text, replacement, 1)
    admx, adml = (changed, ADML) if file == "admx" else (ADMX, changed)
    problems = admx_check.check(admx, adml)
    if any(problem.startswith(expected) for problem in problems):
        passed += 1
    else:
        failed += 1
        print(f"FAIL {text!r} -> {replacement!r} in the {file}: no problem \"{expected}...\"; got {problems}")
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
