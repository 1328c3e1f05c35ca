#!/usr/bin/env python3
"""Parses saved HTML pages and fails on any tag, attribute or script that the
connection diagram does not write itself. Usage: check_html.py FILE..."""
import re
import sys
from html.parser import HTMLParser

TAGS = {"html", "head", "body", "table", "tr", "td", "h2", "img", "b", "p", "a", "br", "font", "small"}
ATTRS = {"align", "valign", "border", "cellspacing", "cellpadding", "src", "href", "nowrap", "face",
         "onmouseover", "onclick"}
OPEN = re.compile(r"^javascript:window\.open\('[A-Za-z0-9%._~-]+/Event[0-9]+\.htm',null,"
                  r"'width=700, height=400, scrollbars=yes, resizable=yes'\);$")


class Checker(HTMLParser):
    def __init__(self, name):
        super().__init__(convert_charrefs=True)
        self.name = name
        self.problems = []

    def handle_starttag(self, tag, attrs):
        if tag not in TAGS:
            self.problems.append(f"{self.name}: tag <{tag}>")
        for key, value in attrs:
            if key not in ATTRS:
                self.problems.append(f"{self.name}: attribute {key} on <{tag}>")
            elif key == "onmouseover" and value != "this.style.cursor='hand'":
                self.problems.append(f"{self.name}: onmouseover={value!r}")
            elif key == "onclick" and not OPEN.match(value or ""):
                self.problems.append(f"{self.name}: onclick={value!r}")
            elif key in ("src", "href") and value and value.lower().startswith("javascript"):
                self.problems.append(f"{self.name}: {key}={value!r}")


problems = []
for path in sys.argv[1:]:
    checker = Checker(path)
    with open(path, encoding="latin-1") as f:
        checker.feed(f.read())
    checker.close()
    problems += checker.problems
print("\n".join(problems))
sys.exit(1 if problems else 0)
