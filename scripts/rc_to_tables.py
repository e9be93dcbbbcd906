#!/usr/bin/env python3
"""Derives the native build's dialog and string tables from the resource script.

Usage: rc_to_tables.py <tagwright.rc> <resource_ids.h> <out.cpp> [<header>...]

Reads the #define ids of the resource header and of any further header (whose #defines may
also be string literals, such as the version texts of version.h), the STRINGTABLE (C escapes, "" for a quote)
and every DIALOGEX template (STYLE, EXSTYLE, CAPTION, FONT and the control statements with
the styles the resource compiler gives them), and writes a .cpp that defines the tables
declared in platform/posix/rc_tables.h. Anything it does not understand stops the build.
"""

import os
import re
import sys

# Window, dialog and control styles with their Win32 values.
CONSTANTS = {
    "WS_OVERLAPPED": 0x00000000, "WS_POPUP": 0x80000000, "WS_CHILD": 0x40000000,
    "WS_MINIMIZE": 0x20000000, "WS_VISIBLE": 0x10000000, "WS_DISABLED": 0x08000000,
    "WS_CLIPSIBLINGS": 0x04000000, "WS_CLIPCHILDREN": 0x02000000,
    "WS_MAXIMIZE": 0x01000000, "WS_CAPTION": 0x00C00000, "WS_BORDER": 0x00800000,
    "WS_DLGFRAME": 0x00400000, "WS_VSCROLL": 0x00200000, "WS_HSCROLL": 0x00100000,
    "WS_SYSMENU": 0x00080000, "WS_THICKFRAME": 0x00040000, "WS_GROUP": 0x00020000,
    "WS_TABSTOP": 0x00010000, "WS_MINIMIZEBOX": 0x00020000, "WS_MAXIMIZEBOX": 0x00010000,
    "WS_EX_DLGMODALFRAME": 0x00000001, "WS_EX_TOPMOST": 0x00000008,
    "WS_EX_TOOLWINDOW": 0x00000080, "WS_EX_CLIENTEDGE": 0x00000200,
    "WS_EX_STATICEDGE": 0x00020000, "WS_EX_APPWINDOW": 0x00040000,
    "DS_ABSALIGN": 0x01, "DS_SYSMODAL": 0x02, "DS_LOCALEDIT": 0x20, "DS_SETFONT": 0x40,
    "DS_MODALFRAME": 0x80, "DS_NOIDLEMSG": 0x100, "DS_SETFOREGROUND": 0x200,
    "DS_3DLOOK": 0x0004, "DS_FIXEDSYS": 0x0008, "DS_NOFAILCREATE": 0x0010,
    "DS_CONTROL": 0x0400, "DS_CENTER": 0x0800, "DS_CENTERMOUSE": 0x1000,
    "DS_CONTEXTHELP": 0x2000, "DS_SHELLFONT": 0x0048,
    "SS_LEFT": 0x0, "SS_CENTER": 0x1, "SS_RIGHT": 0x2, "SS_ICON": 0x3,
    "SS_BLACKRECT": 0x4, "SS_SIMPLE": 0xB, "SS_LEFTNOWORDWRAP": 0xC, "SS_BITMAP": 0xE,
    "SS_ETCHEDHORZ": 0x10, "SS_NOPREFIX": 0x80, "SS_NOTIFY": 0x100,
    "SS_CENTERIMAGE": 0x200, "SS_SUNKEN": 0x1000, "SS_ENDELLIPSIS": 0x4000,
    "ES_LEFT": 0x0, "ES_CENTER": 0x1, "ES_RIGHT": 0x2, "ES_MULTILINE": 0x4,
    "ES_UPPERCASE": 0x8, "ES_LOWERCASE": 0x10, "ES_PASSWORD": 0x20,
    "ES_AUTOVSCROLL": 0x40, "ES_AUTOHSCROLL": 0x80, "ES_NOHIDESEL": 0x100,
    "ES_OEMCONVERT": 0x400, "ES_READONLY": 0x800, "ES_WANTRETURN": 0x1000,
    "ES_NUMBER": 0x2000,
    "BS_PUSHBUTTON": 0x0, "BS_DEFPUSHBUTTON": 0x1, "BS_CHECKBOX": 0x2,
    "BS_AUTOCHECKBOX": 0x3, "BS_RADIOBUTTON": 0x4, "BS_GROUPBOX": 0x7,
    "BS_AUTORADIOBUTTON": 0x9, "BS_LEFT": 0x100, "BS_RIGHT": 0x200, "BS_CENTER": 0x300,
    "BS_MULTILINE": 0x2000, "BS_FLAT": 0x8000,
    "CBS_SIMPLE": 0x1, "CBS_DROPDOWN": 0x2, "CBS_DROPDOWNLIST": 0x3,
    "CBS_OWNERDRAWFIXED": 0x10, "CBS_AUTOHSCROLL": 0x40, "CBS_OEMCONVERT": 0x80,
    "CBS_SORT": 0x100, "CBS_HASSTRINGS": 0x200, "CBS_NOINTEGRALHEIGHT": 0x400,
    "CBS_DISABLENOSCROLL": 0x800, "CBS_UPPERCASE": 0x2000, "CBS_LOWERCASE": 0x4000,
    "PBS_SMOOTH": 0x1, "PBS_VERTICAL": 0x4,
    "IDOK": 1, "IDCANCEL": 2, "IDABORT": 3, "IDRETRY": 4, "IDIGNORE": 5, "IDYES": 6,
    "IDNO": 7, "IDC_STATIC": -1,
    "LANG_NEUTRAL": 0x00, "LANG_ENGLISH": 0x09, "SUBLANG_NEUTRAL": 0x00, "SUBLANG_DEFAULT": 0x01,
    "SUBLANG_ENGLISH_US": 0x01,
}

# Control classes as the resource compiler names them, and their canonical names.
CLASSES = {
    "button": "Button", "edit": "Edit", "static": "Static", "combobox": "ComboBox",
    "msctls_progress32": "msctls_progress32",
}

WS_CHILD_VISIBLE = 0x50000000

# Shorthand control statements: class, style without an explicit style, base style that an
# explicit style is added to (as windres and rc build them), and whether a text comes first.
SHORTHANDS = {
    "LTEXT": ("Static", 0x00020000, 0x0, True),
    "RTEXT": ("Static", 0x00020002, 0x2, True),
    "CTEXT": ("Static", 0x00020001, 0x1, True),
    "PUSHBUTTON": ("Button", 0x00010000, 0x00010000, True),
    "DEFPUSHBUTTON": ("Button", 0x00010001, 0x00010001, True),
    "EDITTEXT": ("Edit", 0x00810000, 0x00810000, False),
}


class RcError(Exception):
    pass


def fail(message):
    raise RcError(message)


def read_defines(path):
    defines = {}
    with open(path, encoding="latin-1") as header:
        for number, line in enumerate(header, 1):
            stripped = line.strip()
            if not stripped.startswith("#define"):
                continue
            match = re.match(r"#define\s+([A-Za-z_]\w*)\s+(-?(?:0[xX][0-9a-fA-F]+|\d+))\s*(//.*)?$",
                             stripped)
            if match:
                defines[match.group(1)] = int(match.group(2), 0)
                continue
            match = re.match(r'#define\s+([A-Za-z_]\w*)\s+"([^"\\]*)"\s*(//.*)?$', stripped)
            if not match:
                fail(f"{path}:{number}: cannot read this #define: {stripped}")
            defines[match.group(1)] = match.group(2)
    return defines


class Token:
    def __init__(self, kind, value, line):
        self.kind = kind  # "name", "number", "string", "punct"
        self.value = value
        self.line = line

    def __repr__(self):
        return f"{self.value!r} (line {self.line})"


ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "a": "\a", "\\": "\\", '"': '"', "'": "'", "0": "\0"}


def tokenize(text, path, header_names):
    tokens = []
    i = 0
    line = 1
    at_line_start = True
    length = len(text)
    while i < length:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c in " \t\r":
            i += 1
            continue
        if c == "/" and text.startswith("//", i):
            while i < length and text[i] != "\n":
                i += 1
            continue
        if c == "/" and text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0:
                fail(f"{path}:{line}: unterminated comment")
            line += text.count("\n", i, end)
            i = end + 2
            continue
        if c == "#":
            if not at_line_start:
                fail(f"{path}:{line}: '#' inside a line")
            end = text.find("\n", i)
            end = length if end < 0 else end
            directive = text[i:end].strip()
            match = re.match(r'#include\s+([<"])([^>"]+)[>"]$', directive)
            if not match:
                fail(f"{path}:{line}: unsupported preprocessor line: {directive}")
            if match.group(1) == "<":
                if match.group(2).lower() != "windows.h":
                    fail(f"{path}:{line}: unsupported system header {match.group(2)}")
            elif os.path.basename(match.group(2)) not in header_names:
                fail(f"{path}:{line}: only {' and '.join(header_names)} may be included, "
                     f"not {match.group(2)}")
            i = end
            continue
        at_line_start = False
        if c == '"':
            value = []
            i += 1
            start_line = line
            while True:
                if i >= length:
                    fail(f"{path}:{start_line}: unterminated string")
                c = text[i]
                if c == "\n":
                    fail(f"{path}:{line}: line break inside a string")
                if c == '"':
                    if i + 1 < length and text[i + 1] == '"':
                        value.append('"')
                        i += 2
                        continue
                    i += 1
                    break
                if c == "\\":
                    if i + 1 >= length:
                        fail(f"{path}:{line}: unterminated escape")
                    e = text[i + 1]
                    if e in "xX":
                        match = re.match(r"[0-9a-fA-F]{1,2}", text[i + 2:])
                        if not match:
                            fail(f"{path}:{line}: bad \\x escape")
                        value.append(chr(int(match.group(0), 16)))
                        i += 2 + len(match.group(0))
                        continue
                    if e in "01234567":
                        match = re.match(r"[0-7]{1,3}", text[i + 1:])
                        value.append(chr(int(match.group(0), 8) & 0xFF))
                        i += 1 + len(match.group(0))
                        continue
                    if e not in ESCAPES:
                        fail(f"{path}:{line}: unknown escape \\{e}")
                    value.append(ESCAPES[e])
                    i += 2
                    continue
                value.append(c)
                i += 1
            tokens.append(Token("string", "".join(value), start_line))
            continue
        match = re.match(r"(0[xX][0-9a-fA-F]+|\d+)[lLuU]*", text[i:])
        if match:
            tokens.append(Token("number", int(match.group(1), 0), line))
            i += len(match.group(0))
            continue
        match = re.match(r"[A-Za-z_][A-Za-z_0-9]*", text[i:])
        if match:
            tokens.append(Token("name", match.group(0), line))
            i += len(match.group(0))
            continue
        if c in ",|()-+":
            tokens.append(Token("punct", c, line))
            i += 1
            continue
        fail(f"{path}:{line}: unexpected character {c!r}")
    return tokens


class Parser:
    def __init__(self, tokens, defines, path):
        self.tokens = tokens
        self.pos = 0
        self.defines = defines
        self.path = path

    def where(self):
        token = self.peek()
        line = token.line if token else (self.tokens[-1].line if self.tokens else 0)
        return f"{self.path}:{line}"

    def peek(self, offset=0):
        index = self.pos + offset
        return self.tokens[index] if index < len(self.tokens) else None

    def next(self):
        token = self.peek()
        if token is None:
            fail(f"{self.where()}: unexpected end of file")
        self.pos += 1
        return token

    def at(self, kind, value=None, offset=0):
        token = self.peek(offset)
        return token is not None and token.kind == kind and (value is None or token.value == value)

    def expect(self, kind, value=None):
        token = self.next()
        if token.kind != kind or (value is not None and token.value != value):
            wanted = value if value is not None else kind
            fail(f"{self.path}:{token.line}: expected {wanted}, found {token}")
        return token

    def comma(self):
        self.expect("punct", ",")

    def optional_comma(self):
        if self.at("punct", ","):
            self.next()

    def value_of(self, token):
        if token.kind == "number":
            return token.value
        if token.kind == "name":
            if isinstance(self.defines.get(token.value), int):
                return self.defines[token.value]
            if token.value in CONSTANTS:
                return CONSTANTS[token.value]
            fail(f"{self.path}:{token.line}: unknown name {token.value}")
        fail(f"{self.path}:{token.line}: expected a number or a name, found {token}")

    def primary(self):
        if self.at("punct", "("):
            self.next()
            value = self.number_expression()
            self.expect("punct", ")")
            return value
        if self.at("punct", "-"):
            self.next()
            return -self.primary()
        return self.value_of(self.next())

    def number_expression(self):
        value = self.primary()
        while self.at("punct", "|") or self.at("punct", "+"):
            operator = self.next().value
            operand = self.primary()
            value = value | operand if operator == "|" else value + operand
        return value

    def style_expression(self, base):
        """Flags OR-ed onto base; NOT clears a flag, as the resource compiler does."""
        style = base
        while True:
            if self.at("name", "NOT"):
                self.next()
                style &= ~self.primary()
            else:
                style |= self.primary()
            if not self.at("punct", "|"):
                break
            self.next()
        return style & 0xFFFFFFFF

    def starts_value(self):
        return self.at("number") or self.at("name") or self.at("punct", "(") or self.at("punct", "-")

    def skip_block(self):
        self.expect("name", "BEGIN")
        depth = 1
        while depth:
            token = self.next()
            if token.kind == "name" and token.value == "BEGIN":
                depth += 1
            elif token.kind == "name" and token.value == "END":
                depth -= 1

    def parse(self):
        dialogs = []
        strings = {}
        while self.peek() is not None:
            if self.at("name", "LANGUAGE"):
                self.next()
                self.number_expression()
                self.comma()
                self.number_expression()
            elif self.at("name", "STRINGTABLE"):
                self.next()
                self.stringtable(strings)
            elif self.at("name", "DIALOGEX", 1):
                dialogs.append(self.dialog())
            elif self.at("name", "VERSIONINFO", 1):
                self.next()
                self.next()
                while not self.at("name", "BEGIN"):
                    self.next()
                self.skip_block()
            elif self.at("name", "ICON", 1) and self.at("string", None, 2):
                self.next()
                self.next()
                self.next()
            elif self.at("number", None, 1) and self.at("string", None, 2):
                # A resource of a numbered type taken from a file (the manifest).
                self.next()
                self.next()
                self.next()
            else:
                fail(f"{self.where()}: unsupported statement starting at {self.peek()}")
        return dialogs, strings

    def string_value(self):
        """A string literal, or the name of a header's string #define."""
        token = self.next()
        if token.kind == "string":
            return token.value
        if token.kind == "name" and isinstance(self.defines.get(token.value), str):
            return self.defines[token.value]
        fail(f"{self.path}:{token.line}: expected string, found {token}")

    def stringtable(self, strings):
        self.expect("name", "BEGIN")
        while not self.at("name", "END"):
            token = self.next()
            string_id = self.value_of(token)
            self.optional_comma()
            text = self.string_value()
            if not 0 <= string_id <= 0xFFFF:
                fail(f"{self.path}:{token.line}: string id {string_id} out of range")
            if string_id in strings:
                fail(f"{self.path}:{token.line}: string id {string_id} defined twice")
            strings[string_id] = text
        self.next()

    def dialog(self):
        id_token = self.next()
        dialog_id = self.value_of(id_token)
        self.expect("name", "DIALOGEX")
        x = self.number_expression()
        self.comma()
        y = self.number_expression()
        self.comma()
        cx = self.number_expression()
        self.comma()
        cy = self.number_expression()
        dialog = {"id": dialog_id, "x": x, "y": y, "cx": cx, "cy": cy, "style": None,
                  "exstyle": 0, "caption": None, "font": None, "controls": []}
        while not self.at("name", "BEGIN"):
            option = self.expect("name").value
            if option == "STYLE":
                dialog["style"] = self.style_expression(0)
            elif option == "EXSTYLE":
                dialog["exstyle"] = self.style_expression(0)
            elif option == "CAPTION":
                dialog["caption"] = self.expect("string").value
            elif option == "FONT":
                size = self.number_expression()
                self.comma()
                name = self.expect("string").value
                while self.at("punct", ","):  # weight, italic, charset
                    self.next()
                    self.number_expression()
                dialog["font"] = (size, name)
            else:
                fail(f"{self.path}:{id_token.line}: unsupported dialog option {option}")
        if dialog["style"] is None:
            fail(f"{self.path}:{id_token.line}: dialog {dialog_id} has no STYLE")
        if dialog["font"] is None:
            fail(f"{self.path}:{id_token.line}: dialog {dialog_id} has no FONT")
        self.expect("name", "BEGIN")
        while not self.at("name", "END"):
            dialog["controls"].append(self.control())
        self.next()
        return dialog

    def rectangle(self):
        values = [self.number_expression()]
        for _ in range(3):
            self.comma()
            values.append(self.number_expression())
        return values

    def control(self):
        statement_token = self.expect("name")
        statement = statement_token.value
        control = {"statement": statement, "text": "", "image": 0, "exstyle": 0}
        if statement == "CONTROL":
            if self.at("string"):
                control["text"] = self.next().value
            else:
                control["image"] = self.number_expression()
            self.comma()
            control["id"] = self.number_expression()
            self.comma()
            class_token = self.expect("string")
            if class_token.value.lower() not in CLASSES:
                fail(f"{self.path}:{class_token.line}: unsupported control class "
                     f"{class_token.value}")
            control["class"] = CLASSES[class_token.value.lower()]
            self.comma()
            control["style"] = self.style_expression(WS_CHILD_VISIBLE)
            self.comma()
            control["rect"] = self.rectangle()
            if self.at("punct", ","):
                self.next()
                control["exstyle"] = self.style_expression(0)
            return control
        if statement not in SHORTHANDS:
            fail(f"{self.path}:{statement_token.line}: unsupported control statement {statement}")
        class_name, default_style, base_style, has_text = SHORTHANDS[statement]
        control["class"] = class_name
        if has_text:
            control["text"] = self.expect("string").value
            self.comma()
        control["id"] = self.number_expression()
        self.comma()
        control["rect"] = self.rectangle()
        control["style"] = (default_style | WS_CHILD_VISIBLE) & 0xFFFFFFFF
        if self.at("punct", ","):
            self.next()
            control["style"] = self.style_expression(base_style | WS_CHILD_VISIBLE)
            if self.at("punct", ","):
                self.next()
                control["exstyle"] = self.style_expression(0)
        return control


def c_string(text):
    out = []
    for ch in text:
        code = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "?":
            out.append("\\?")
        elif 0x20 <= code < 0x7F:
            out.append(ch)
        else:
            out.append(f"\\{code & 0xFF:03o}")
    return '"' + "".join(out) + '"'


def emit(dialogs, strings, rc_path):
    lines = [
        f"// Generated by scripts/rc_to_tables.py from {os.path.basename(rc_path)}: do not edit.",
        '#include "platform/posix/rc_tables.h"',
        "",
        "namespace rc {",
        "namespace {",
        "",
    ]
    for dialog in dialogs:
        lines.append(f"const ControlTemplate kControls{dialog['id']}[] = {{")
        for control in dialog["controls"]:
            x, y, cx, cy = control["rect"]
            lines.append(
                f"    {{\"{control['statement']}\", \"{control['class']}\", "
                f"{c_string(control['text'])}, {control['image']}, {control['id']}, "
                f"0x{control['style'] & 0xFFFFFFFF:08X}u, 0x{control['exstyle'] & 0xFFFFFFFF:08X}u, "
                f"{x}, {y}, {cx}, {cy}}},")
        if not dialog["controls"]:
            fail(f"dialog {dialog['id']} has no controls")
        lines.append("};")
        lines.append("")
    lines.append("} // namespace")
    lines.append("")
    lines.append("const DialogTemplate kDialogs[] = {")
    for dialog in dialogs:
        caption = "nullptr" if dialog["caption"] is None else c_string(dialog["caption"])
        size, font = dialog["font"]
        lines.append(
            f"    {{{dialog['id']}, 0x{dialog['style']:08X}u, 0x{dialog['exstyle']:08X}u, {caption}, "
            f"{size}, {c_string(font)}, {dialog['x']}, {dialog['y']}, {dialog['cx']}, "
            f"{dialog['cy']}, kControls{dialog['id']}, {len(dialog['controls'])}}},")
    lines.append("};")
    lines.append(f"const int kDialogCount = {len(dialogs)};")
    lines.append("")
    lines.append("const StringResource kStrings[] = {")
    for string_id in sorted(strings):
        text = strings[string_id]
        lines.append(f"    {{{string_id}u, {c_string(text)}, {len(text)}u}},")
    lines.append("};")
    lines.append(f"const int kStringCount = {len(strings)};")
    lines.append("")
    lines.append("const DialogTemplate* FindDialog(int id) {")
    lines.append("    for (int i = 0; i < kDialogCount; ++i) {")
    lines.append("        if (kDialogs[i].id == id) {")
    lines.append("            return &kDialogs[i];")
    lines.append("        }")
    lines.append("    }")
    lines.append("    return nullptr;")
    lines.append("}")
    lines.append("")
    lines.append("const StringResource* FindString(UINT id) {")
    lines.append("    for (int i = 0; i < kStringCount; ++i) {")
    lines.append("        if (kStrings[i].id == id) {")
    lines.append("            return &kStrings[i];")
    lines.append("        }")
    lines.append("    }")
    lines.append("    return nullptr;")
    lines.append("}")
    lines.append("")
    lines.append("} // namespace rc")
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) < 4:
        sys.stderr.write("usage: rc_to_tables.py <rc> <resource_ids.h> <out.cpp> [<header>...]\n")
        return 2
    rc_path, header_path, out_path = argv[1:4]
    header_paths = [header_path] + argv[4:]
    try:
        defines = {}
        for path in header_paths:
            defines.update(read_defines(path))
        with open(rc_path, encoding="latin-1") as rc_file:
            tokens = tokenize(rc_file.read(), rc_path,
                              [os.path.basename(path) for path in header_paths])
        dialogs, strings = Parser(tokens, defines, rc_path).parse()
        if not dialogs:
            fail(f"{rc_path}: no dialog templates")
        if not strings:
            fail(f"{rc_path}: no string table")
        seen = set()
        for dialog in dialogs:
            if dialog["id"] in seen:
                fail(f"{rc_path}: dialog {dialog['id']} defined twice")
            seen.add(dialog["id"])
        output = emit(dialogs, strings, rc_path)
    except RcError as error:
        sys.stderr.write(f"rc_to_tables.py: error: {error}\n")
        return 1
    os.makedirs(os.path.dirname(os.path.abspath(out_path)), exist_ok=True)
    temporary = out_path + ".tmp"
    with open(temporary, "w", encoding="latin-1") as out:
        out.write(output)
    os.replace(temporary, out_path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
