#!/usr/bin/env python3
"""Reads a PostScript document as Wine's PostScript driver writes it and prints its title
line ("title: ...") and the text its glyphs spell ("text: ..."), decoded from the
"/NAME glyphshow" sequence. A glyph with no known character prints as <NAME>."""
import re
import sys

NAMES = {
    "space": " ", "exclam": "!", "quotedbl": '"', "numbersign": "#", "dollar": "$",
    "percent": "%", "ampersand": "&", "quotesingle": "'", "parenleft": "(",
    "parenright": ")", "asterisk": "*", "plus": "+", "comma": ",", "hyphen": "-",
    "period": ".", "slash": "/", "zero": "0", "one": "1", "two": "2", "three": "3",
    "four": "4", "five": "5", "six": "6", "seven": "7", "eight": "8", "nine": "9",
    "colon": ":", "semicolon": ";", "less": "<", "equal": "=", "greater": ">",
    "question": "?", "at": "@", "bracketleft": "[", "backslash": "\\",
    "bracketright": "]", "asciicircum": "^", "underscore": "_", "grave": "`",
    "braceleft": "{", "bar": "|", "braceright": "}", "asciitilde": "~",
}


def glyph_text(names):
    out = []
    for name in names:
        if len(name) == 1 and name.isalpha():
            out.append(name)
        else:
            out.append(NAMES.get(name, f"<{name}>"))
    return "".join(out)


def main():
    data = open(sys.argv[1], "rb").read().decode("latin-1")
    title = re.search(r"^%%Title: (.*)$", data, re.MULTILINE)
    print("title: " + (title.group(1).strip() if title else ""))
    print("text: " + glyph_text(re.findall(r"/([A-Za-z0-9.]+) glyphshow", data)))


if __name__ == "__main__":
    main()
