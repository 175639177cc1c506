#!/usr/bin/env python3
"""Checks that no text Quendrel shows names the Mac.

Every string literal of src/ is read (comments are not); one that says "Mac" as a word is wrong,
except in src/platform/Computer.h, which holds the one word each system's texts use for the
computer. Prints every such literal and exits 1 when there is one.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[2])
word_file = pathlib.Path("src/platform/Computer.h")

# A comment, a raw string, a string or a character literal, whichever comes first.
token = re.compile(r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\((.*?)\)\1"|"((?:\\.|[^"\\\n])*)"|\'(?:\\.|[^\'\\\n])*\'',
                   re.DOTALL)
mac = re.compile(r"\bMac\b")


def literals(text):
    for match in token.finditer(text):
        body = match.group(2) if match.group(2) is not None else match.group(3)
        if body is not None:
            yield text.count("\n", 0, match.start()) + 1, body


problems = []
for path in sorted((root / "src").rglob("*")):
    relative = path.relative_to(root)
    if path.suffix not in (".h", ".cpp", ".in") or relative == word_file:
        continue
    for number, body in literals(path.read_text()):
        if mac.search(body):
            problems.append(f"{relative}:{number}: \"{body}\"")

for problem in problems:
    print(problem)
print(f"{len(problems)} texts name the Mac")
sys.exit(1 if problems else 0)
