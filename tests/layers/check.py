#!/usr/bin/env python3
"""Checks the layers of src/, one check a run: `check.py includes|words [ROOT]`.

includes: the layers are the folders of src/, bottom to top: platform, then the
quendrel_layer() calls of the top CMakeLists.txt in their order. A file may include its own
folder and the folders below it, never one above. Only src/platform may include Qt, libcurl,
libplist, libsodium or the system's own headers (the ones named "….h"); the rest of src/ and
tools/ see the platform only through its headers.

words: no text Quendrel shows names the Mac. Every string literal of src/ is read (comments
are not); one that says "Mac" as a word is wrong, except in src/platform/Computer.h, which
holds the one word each system's texts use for the computer.

Prints every problem and exits 1 when there is one.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else pathlib.Path(__file__).parents[2])
layers = ["platform"] + re.findall(r"^quendrel_layer\((\w+)", (root / "CMakeLists.txt").read_text(),
                                   re.MULTILINE)
rank = {name: i for i, name in enumerate(layers)}
ours = re.compile(r'^\s*#\s*include\s*"(\w+)/')
theirs = re.compile(r"^\s*#\s*include\s*<([^>]+)>")
# The toolkit, the libraries and the system: Qt's classes, curl, plist, sodium, any "….h".
foreign = re.compile(r"^(Q|curl/|plist/|sodium)|\.h$")
# A comment, a raw string, a string or a character literal, whichever comes first.
token = re.compile(r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\((.*?)\)\1"|"((?:\\.|[^"\\\n])*)"|\'(?:\\.|[^\'\\\n])*\'',
                   re.DOTALL)


def includes(relative, text):
    folder = relative.parts[1] if relative.parts[0] == "src" else "tools"
    if folder not in rank and folder != "tools":
        yield f"{relative}: src/{folder} is not a layer of CMakeLists.txt"
        return
    for number, line in enumerate(text.splitlines(), 1):
        used, library = ours.match(line), theirs.match(line)
        if used and used.group(1) not in rank:
            yield f"{relative}:{number}: includes {used.group(1)}/, which is not a layer"
        elif used and folder != "tools" and rank[used.group(1)] > rank[folder]:
            yield f"{relative}:{number}: {folder} includes {used.group(1)}, a higher layer"
        elif library and folder != "platform" and foreign.search(library.group(1)):
            yield f"{relative}:{number}: <{library.group(1)}> belongs in src/platform"


def words(relative, text):
    if relative.parts[0] != "src" or relative == pathlib.Path("src/platform/Computer.h"):
        return
    for match in token.finditer(text):
        body = match.group(2) or match.group(3) or ""
        if re.search(r"\bMac\b", body):
            yield f"{relative}:{text.count(chr(10), 0, match.start()) + 1}: \"{body}\""


walk = {"includes": includes, "words": words}[sys.argv[1]]
files = sorted((root / "src").rglob("*")) + sorted((root / "tools").rglob("*"))
problems = [problem for path in files if path.suffix in (".h", ".cpp", ".in")
            for problem in walk(path.relative_to(root), path.read_text())]
print(*problems, f"layers {' '.join(layers)}: {len(problems)} problems ({sys.argv[1]})", sep="\n")
sys.exit(1 if problems else 0)
