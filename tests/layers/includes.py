#!/usr/bin/env python3
"""Checks that includes follow the layers.

The layers are the folders of src/, bottom to top: platform, then the quendrel_layer() calls
of the top CMakeLists.txt in their order. A file may include its own folder and the folders
below it, never one above. Only src/platform may include Qt, libcurl, libplist, libsodium or
the system's own headers (the ones named "….h"); the rest of src/ and tools/ see the platform
only through its headers. Prints every wrong include and exits 1 when there is one.
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[2])
layers = ["platform"] + re.findall(r"^quendrel_layer\((\w+)", (root / "CMakeLists.txt").read_text(),
                                   re.MULTILINE)
rank = {name: i for i, name in enumerate(layers)}

ours = re.compile(r'^\s*#\s*include\s*"(\w+)/')
theirs = re.compile(r"^\s*#\s*include\s*<([^>]+)>")
# The toolkit, the libraries and the system: Qt's classes, curl, plist, sodium, any "….h".
foreign = re.compile(r"^(Q|curl/|plist/|sodium)|\.h$")

problems = []
for path in sorted((root / "src").rglob("*")) + sorted((root / "tools").rglob("*")):
    if path.suffix not in (".h", ".cpp", ".in"):
        continue
    relative = path.relative_to(root)
    folder = relative.parts[1] if relative.parts[0] == "src" else "tools"
    if folder not in rank and folder != "tools":
        problems.append(f"{relative}: src/{folder} is not a layer of CMakeLists.txt")
        continue
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if match := ours.match(line):
            used = match.group(1)
            if used not in rank:
                problems.append(f"{relative}:{number}: includes {used}/, which is not a layer")
            elif folder != "tools" and rank[used] > rank[folder]:
                problems.append(f"{relative}:{number}: {folder} includes {used}, a higher layer")
        elif (match := theirs.match(line)) and folder != "platform":
            if foreign.search(match.group(1)):
                problems.append(f"{relative}:{number}: <{match.group(1)}> belongs in src/platform")

for problem in problems:
    print(problem)
print(f"layers, bottom to top: {' '.join(layers)}; {len(problems)} wrong includes")
sys.exit(1 if problems else 0)
