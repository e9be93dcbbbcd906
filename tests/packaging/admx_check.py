#!/usr/bin/env python3
"""Checks the Group Policy template packaging/tagwright.admx and its texts
packaging/en-US/tagwright.adml the way the Group Policy editor needs them: both well-formed,
the ADMX in the structure of its schema, every string and presentation it names defined in the
ADML, each presentation matching its policy's elements; and against the program: every value a
policy writes is one the program reads, every list item a text the settings window writes.

    admx_check.py [ADMX ADML]     (default: the two files of the repository)

Prints each problem and exits 1 when there is any."""

import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"
POLICY_KEY = "Software\\Policies\\Velmora Software\\Tagwright\\1.0"

# The values the program reads under the policy key, and the subkey of named printers: the one
# list of them, each found below as a text constant of the settings' headers.
PROGRAM_VALUES = ["PrinterType", "Port", "BaudorIPAddress", "DataBits", "Parity", "StopBits",
                  "Delay", "Attempts", "CheckStatus", "Timeout", "Confirm", "Printer"]
PRINTERS_SUBKEY = "Printers"

# Each list policy and the settings window's list of the texts it writes.
WINDOW_LISTS = {"PrinterType": "kPrinterTypes", "DataBits": "kDataBits", "Parity": "kParities",
                "StopBits": "kStopBits", "Confirm": "kConfirmWords"}

# The children of each element in the order the ADMX schema allows them (? at most one).
ROOT_ORDER = ["policyNamespaces", "supersededAdm?", "resources", "supportedOn?", "categories?",
              "policies?"]
POLICY_ORDER = ["parentCategory", "seeAlso*", "keywords?", "supportedOn", "enabledValue?",
                "disabledValue?", "enabledList?", "disabledList?", "elements?"]
ELEMENT_KINDS = {"boolean", "decimal", "text", "enum", "list", "longDecimal", "multiText"}
PRESENTATION_KINDS = {"checkBox", "textBox", "decimalTextBox", "longDecimalTextBox", "comboBox",
                      "dropdownList", "listBox", "multiTextBox", "text"}


def local(element):
    return element.tag[len(NS):] if element.tag.startswith(NS) else element.tag


def text_constants(root):
    """Every `constexpr char kName[] = "text";` of the settings' headers."""
    constants = {}
    for header in sorted((root / "settings").glob("*.h")):
        for name, text in re.findall(r'constexpr\s+char\s+(k\w+)\[\]\s*=\s*"([^"]*)"',
                                     header.read_text()):
            constants[name] = text
    return constants


def window_lists(root, constants):
    """The settings window's lists: name -> texts, constants resolved."""
    source = (root / "settings" / "settings_window.cpp").read_text()
    lists = {}
    for name, body in re.findall(r'const char\* const (k\w+)\[\] = \{([^}]*)\}', source):
        items = re.findall(r'"([^"]*)"|(k\w+)', body)
        lists[name] = [text if text else constants.get(ident, "?" + ident) for text, ident in items]
    return lists


def check_order(what, element, order, problems):
    """The children of element appear in the schema's order, each at most as often as allowed."""
    names = [entry.rstrip("?*") for entry in order]
    position = 0
    counts = {}
    for child in element:
        name = local(child)
        if name not in names:
            problems.append(f"{what}: <{name}> is not allowed here")
            continue
        index = names.index(name)
        if index < position:
            problems.append(f"{what}: <{name}> comes after <{names[position]}>")
        position = max(position, index)
        counts[name] = counts.get(name, 0) + 1
        if not order[index].endswith("*") and counts[name] > 1:
            problems.append(f"{what}: more than one <{name}>")
    for entry in order:
        if entry[-1] not in "?*" and entry not in counts:
            problems.append(f"{what}: no <{entry}>")


def parse(what, text, problems):
    try:
        return ET.fromstring(text)
    except ET.ParseError as error:
        problems.append(f"{what} is not well-formed: {error}")
        return None


def check(admx_text, adml_text, root=ROOT):
    """The problems of the two files, [] when there are none."""
    problems = []
    admx = parse("the ADMX", admx_text, problems)
    adml = parse("the ADML", adml_text, problems)
    if admx is None or adml is None:
        return problems

    # The texts: every string and presentation, each defined once.
    if local(adml) != "policyDefinitionResources":
        problems.append(f"the ADML's root is <{local(adml)}>")
    for attribute in ("revision", "schemaVersion"):
        if adml.get(attribute) is None:
            problems.append(f"the ADML has no {attribute}")
    for child in ("displayName", "description", "resources"):
        if adml.find(f"{NS}{child}") is None:
            problems.append(f"the ADML has no <{child}>")
    strings = {}
    presentations = {}
    for table, row, found in (("stringTable", "string", strings),
                              ("presentationTable", "presentation", presentations)):
        for entry in adml.findall(f"{NS}resources/{NS}{table}/{NS}{row}"):
            identifier = entry.get("id")
            if identifier in found:
                problems.append(f"the ADML defines {identifier} twice")
            found[identifier] = entry

    def resolved(what, reference, kind, table):
        match = re.fullmatch(r"\$\((string|presentation)\.([^)]+)\)", reference or "")
        if match is None or match.group(1) != kind:
            problems.append(f"{what}: \"{reference}\" is not $({kind}.NAME)")
            return None
        if match.group(2) not in table:
            problems.append(f"{what}: $({kind}.{match.group(2)}) is not in the ADML")
            return None
        return table[match.group(2)]

    # The ADMX's own structure.
    if local(admx) != "policyDefinitions":
        problems.append(f"the ADMX's root is <{local(admx)}>")
    for attribute in ("revision", "schemaVersion"):
        if admx.get(attribute) is None:
            problems.append(f"the ADMX has no {attribute}")
    check_order("the ADMX", admx, ROOT_ORDER, problems)
    namespaces = admx.find(f"{NS}policyNamespaces")
    prefixes = set()
    target_prefix = None
    if namespaces is not None:
        targets = namespaces.findall(f"{NS}target")
        if len(targets) != 1:
            problems.append(f"policyNamespaces has {len(targets)} <target>, not one")
        for entry in namespaces:
            if local(entry) not in ("target", "using"):
                problems.append(f"policyNamespaces: <{local(entry)}> is not allowed")
            if not entry.get("prefix") or not entry.get("namespace"):
                problems.append(f"policyNamespaces: a <{local(entry)}> without prefix or namespace")
            prefixes.add(entry.get("prefix"))
        target_prefix = targets[0].get("prefix") if targets else None
    resources = admx.find(f"{NS}resources")
    if resources is not None and resources.get("minRequiredRevision") is None:
        problems.append("<resources> has no minRequiredRevision")

    def reference_known(what, reference, local_names):
        prefix, _, name = (reference or "").rpartition(":")
        if prefix in ("", target_prefix):
            if name not in local_names:
                problems.append(f"{what}: \"{reference}\" is not defined here")
        elif prefix not in prefixes:
            problems.append(f"{what}: the prefix of \"{reference}\" is not in policyNamespaces")

    categories = set()
    supported = set()
    for category in admx.iter(f"{NS}category"):
        if not category.get("name"):
            problems.append("a category has no name")
        categories.add(category.get("name"))
        resolved(f"category {category.get('name')}", category.get("displayName"), "string", strings)
    for definition in admx.iter(f"{NS}definition"):
        supported.add(definition.get("name"))
        resolved(f"supportedOn {definition.get('name')}", definition.get("displayName"), "string",
                 strings)

    # The policies, against the program.
    constants = text_constants(root)
    read = set(constants.values())
    for value in PROGRAM_VALUES + [PRINTERS_SUBKEY]:
        if value not in read:
            problems.append(f"the program reads no value {value} (no constant in settings/*.h)")
    lists = window_lists(root, constants)
    written = set()
    names = set()
    for policy in admx.iter(f"{NS}policy"):
        name = policy.get("name")
        what = f"policy {name}"
        if not name or name in names:
            problems.append(f"a policy without a name of its own ({name})")
        names.add(name)
        for attribute in ("class", "displayName", "explainText", "key"):
            if policy.get(attribute) is None:
                problems.append(f"{what} has no {attribute}")
        if policy.get("class") not in ("Machine", "User", "Both", None):
            problems.append(f"{what}: class {policy.get('class')}")
        resolved(f"{what} displayName", policy.get("displayName"), "string", strings)
        resolved(f"{what} explainText", policy.get("explainText"), "string", strings)
        check_order(what, policy, POLICY_ORDER, problems)
        for child in policy.findall(f"{NS}parentCategory"):
            reference_known(what, child.get("ref"), categories)
        for child in policy.findall(f"{NS}supportedOn"):
            reference_known(what, child.get("ref"), supported)
        key = policy.get("key")
        if key not in (POLICY_KEY, POLICY_KEY + "\\" + PRINTERS_SUBKEY):
            problems.append(f"{what}: key {key} is not the program's policy key")
        if policy.get("valueName") is not None:
            written.add(policy.get("valueName"))
            for state in ("enabledValue", "disabledValue"):
                value = policy.find(f"{NS}{state}")
                if value is not None and value.find(f"{NS}string") is None:
                    problems.append(f"{what}: {state} is not a text, which the program reads")
        elements = policy.find(f"{NS}elements")
        ids = []
        for element in elements if elements is not None else []:
            kind = local(element)
            identifier = element.get("id")
            ids.append(identifier)
            where = f"{what} element {identifier}"
            if kind not in ELEMENT_KINDS:
                problems.append(f"{where}: <{kind}> is not an element")
            if kind == "list":
                if element.get("key") != POLICY_KEY + "\\" + PRINTERS_SUBKEY:
                    problems.append(f"{where}: key {element.get('key')} is not the named printers")
                if element.get("explicitValue") != "true":
                    problems.append(f"{where}: names and addresses need explicitValue=\"true\"")
                continue
            value_name = element.get("valueName")
            if value_name is None:
                problems.append(f"{where} has no valueName")
                continue
            written.add(value_name)
            if kind == "decimal" and element.get("storeAsText") != "true":
                problems.append(f"{where}: a number the program reads as text needs storeAsText")
            if kind == "enum":
                items = [item.findtext(f"{NS}value/{NS}string") for item in element.findall(f"{NS}item")]
                window = lists.get(WINDOW_LISTS.get(value_name, ""), None)
                for item in element.findall(f"{NS}item"):
                    resolved(f"{where} item", item.get("displayName"), "string", strings)
                if window is None:
                    problems.append(f"{where}: the settings window has no list for {value_name}")
                elif sorted(map(str, items)) != sorted(window):
                    problems.append(f"{where}: items {items} are not the window's {window}")
            if value_name == "Attempts":
                offered = lists.get("kAttempts", [])
                wanted = (offered[0] if offered else "?", offered[-1] if offered else "?")
                if (element.get("minValue"), element.get("maxValue")) != wanted:
                    problems.append(f"{where}: {element.get('minValue')} to {element.get('maxValue')}"
                                    f" is not the window's {wanted[0]} to {wanted[1]}")
        if len(set(ids)) != len(ids):
            problems.append(f"{what}: element ids are not unique")
        if ids or policy.get("presentation") is not None:
            presentation = resolved(f"{what} presentation", policy.get("presentation"),
                                    "presentation", presentations)
            if presentation is not None:
                shown = []
                for control in presentation:
                    if local(control) not in PRESENTATION_KINDS:
                        problems.append(f"{what}: <{local(control)}> is not a presentation control")
                    if control.get("refId") is not None:
                        shown.append(control.get("refId"))
                if sorted(shown) != sorted(ids):
                    problems.append(f"{what}: the presentation shows {shown}, the elements are {ids}")
    for value in sorted(written - set(PROGRAM_VALUES)):
        problems.append(f"a policy writes {value}, which the program does not read")
    for value in sorted(set(PROGRAM_VALUES) - written):
        problems.append(f"no policy writes {value}")
    return problems


def main(arguments):
    admx = Path(arguments[0]) if arguments else ROOT / "packaging" / "tagwright.admx"
    adml = Path(arguments[1]) if len(arguments) > 1 else ROOT / "packaging" / "en-US" / "tagwright.adml"
    problems = check(admx.read_text(encoding="utf-8"), adml.read_text(encoding="utf-8"))
    for problem in problems:
        print(f"FAIL {problem}")
    print(f"{admx.name}, {adml.name}: {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
