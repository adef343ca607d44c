#!/usr/bin/python3
"""Prints the include circles among the modules of zet/, vesk/ and tools/.

A module is a header and a source of the same stem (vesk/cli/show.h and vesk/cli/show.cpp; a
public header under an include folder, zet/include/zet/core/lib.h, belongs with zet/core/lib.cpp);
it depends on every module whose header one of its files includes with #include "...". A
circle is a strongly connected component of more than one module: each member reaches every
other through includes, so none of them can be understood, built or tested without the rest.
Each circle is printed with its members and the includes that close it.

    scripts/include_cycles.py [--allow PREFIX] [ROOT]   ROOT defaults to this script's checkout

With --allow, the exit status is 1 when a circle has a member outside PREFIX (the test command
allows only the model's records, which own each other), so a new circle fails the tests.
"""

import os
import re
import sys

AREAS = ("zet", "vesk", "tools")
SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")
# Folders the build searches for includes besides the root (zet/CMakeLists.txt).
INCLUDE_DIRS = ("zet/include",)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def module_of(path):
    for folder in INCLUDE_DIRS:
        if path.startswith(folder + os.sep):
            path = os.path.relpath(path, folder)
    return os.path.splitext(path)[0]


def files(root):
    for area in AREAS:
        for folder, _, names in os.walk(os.path.join(root, area)):
            for name in names:
                if name.endswith(SUFFIXES):
                    yield os.path.relpath(os.path.join(folder, name), root)


def include_graph(root):
    """Module -> the modules it includes, for modules of the three areas only."""
    paths = sorted(files(root))
    known = {p for p in paths}
    graph = {module_of(p): set() for p in paths}
    for path in paths:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
        here = module_of(path)
        for target in INCLUDE.findall(text):
            # Includes name the file from the root or an include folder; a bare name is one
            # beside the includer.
            candidates = [target] + [os.path.join(folder, target) for folder in INCLUDE_DIRS]
            for candidate in candidates + [os.path.join(os.path.dirname(path), target)]:
                if candidate in known:
                    if module_of(candidate) != here:
                        graph[here].add(module_of(candidate))
                    break
    return graph


def circles(graph):
    """Strongly connected components with more than one member (Tarjan, without recursion)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    for start in sorted(graph):
        if start in index:
            continue
        work = [(start, iter(sorted(graph[start])))]
        index[start] = low[start] = len(index)
        stack.append(start)
        on_stack.add(start)
        while work:
            node, edges = work[-1]
            advanced = False
            for succ in edges:
                if succ not in index:
                    index[succ] = low[succ] = len(index)
                    stack.append(succ)
                    on_stack.add(succ)
                    work.append((succ, iter(sorted(graph[succ]))))
                    advanced = True
                    break
                if succ in on_stack:
                    low[node] = min(low[node], index[succ])
            if advanced:
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                    if member == node:
                        break
                if len(component) > 1:
                    found.append(sorted(component))
    return sorted(found)


def main():
    args = sys.argv[1:]
    allow = args[1] if args[:1] == ["--allow"] else None
    args = args[2:] if allow is not None else args
    root = args[0] if args else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    graph = include_graph(root)
    found = circles(graph)
    if not found:
        print(f"no include circles among {len(graph)} modules of {', '.join(AREAS)}")
        return 0
    print(f"{len(found)} include circle(s) among {len(graph)} modules of {', '.join(AREAS)}:")
    for number, members in enumerate(found, 1):
        inside = set(members)
        print(f"circle {number}: {len(members)} modules")
        for member in members:
            targets = sorted(graph[member] & inside)
            print(f"  {member} -> {', '.join(targets)}")
    foreign = [m for c in found for m in c if allow is not None and not m.startswith(allow)]
    return 1 if foreign else 0


if __name__ == "__main__":
    sys.exit(main())
