#!/usr/bin/env python3
"""The include graph of the program's own files, checked for cycles.

Reads every #include "..." of the program's folders and fails, printing the cycle, when
files, modules (a header together with its implementation file) or folders include each
other in a circle. Includes outside the program's folders (the platform seam, the system)
are not followed.

    scripts/include_graph.py [ROOT]     exit 0: one direction only; 1: a cycle; 2: misuse
"""

import pathlib
import re
import sys

PROGRAM_FOLDERS = ("core", "settings", "transport", "watch", "launcher", "resources")
SOURCE_SUFFIXES = (".h", ".cpp", ".rc")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def program_files(root):
    files = []
    for folder in PROGRAM_FOLDERS:
        for path in sorted((root / folder).glob("*")):
            if path.suffix in SOURCE_SUFFIXES and path.is_file():
                files.append(path.relative_to(root).as_posix())
    return files


def resolve(root, includer, name):
    """The included file as a path from ROOT, or None when it is not one of the program's."""
    for candidate in (name, (pathlib.PurePosixPath(includer).parent / name).as_posix()):
        if candidate.split("/", 1)[0] in PROGRAM_FOLDERS and (root / candidate).is_file():
            return candidate
    return None


def file_edges(root, files):
    edges = {name: set() for name in files}
    for name in files:
        text = (root / name).read_text(encoding="utf-8", errors="replace")
        for included in INCLUDE.findall(text):
            target = resolve(root, name, included)
            if target is not None and target != name:
                edges[name].add(target)
    return edges


def collapse(edges, key):
    """The graph whose nodes are key(file); edges inside one node are dropped."""
    collapsed = {}
    for source, targets in edges.items():
        node = key(source)
        collapsed.setdefault(node, set())
        for target in targets:
            if key(target) != node:
                collapsed[node].add(key(target))
                collapsed.setdefault(key(target), set())
    return collapsed


def find_cycle(graph):
    """One cycle as a list of nodes (first == last), or None."""
    state = {}  # node -> 1 on the current path, 2 done
    path = []

    def visit(node):
        state[node] = 1
        path.append(node)
        for target in sorted(graph[node]):
            if state.get(target) == 1:
                return path[path.index(target):] + [target]
            if target not in state:
                found = visit(target)
                if found:
                    return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def main(argv):
    if len(argv) > 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = pathlib.Path(argv[1] if len(argv) == 2 else pathlib.Path(__file__).parent.parent)
    files = program_files(root)
    edges = file_edges(root, files)
    levels = (
        ("file", edges),
        ("module", collapse(edges, lambda name: name.rsplit(".", 1)[0])),
        ("folder", collapse(edges, lambda name: name.split("/", 1)[0])),
    )
    failed = False
    for level, graph in levels:
        cycle = find_cycle(graph)
        if cycle:
            print(f"include cycle between {level}s: " + " -> ".join(cycle))
            failed = True
    count = sum(len(targets) for targets in edges.values())
    folders = levels[2][1]
    order = " ".join(f"{folder}->{','.join(sorted(folders[folder])) or '-'}"
                     for folder in sorted(folders))
    print(f"include graph: {len(files)} files, {count} includes; folders {order}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
