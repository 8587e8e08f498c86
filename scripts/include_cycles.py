#!/usr/bin/env python3
"""Lists include cycles between the files of src/ (a .cpp counts as one node with its .h)."""
import os
import re
import sys

root = sys.argv[1] if len(sys.argv) > 1 else "src"
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
files = {}
for folder, _, names in os.walk(root):
    for name in names:
        if name.endswith((".h", ".cpp")):
            path = os.path.join(folder, name)
            files[os.path.relpath(path, root)] = path


def node(rel):
    # A public header (<sub>/include/<sub>/x.h) pairs with <sub>/x.cpp.
    return re.sub(r"^([^/]+)/include/\1/", r"\1/", os.path.splitext(rel)[0])


edges = {}
for rel, path in files.items():
    here = os.path.dirname(rel)
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for target in include.findall(text):
        sub = target.split("/")[0]
        public = os.path.join(sub, "include", target)
        for candidate in (os.path.normpath(os.path.join(here, target)), os.path.normpath(public)):
            if candidate in files:
                if node(candidate) != node(rel):
                    edges.setdefault(node(rel), set()).add(node(candidate))
                break

# Tarjan's strongly connected components; every component of two or more is a cycle.
index, low, stack, onStack, cycles, counter = {}, {}, [], set(), [], [0]


def visit(v):
    index[v] = low[v] = counter[0]
    counter[0] += 1
    stack.append(v)
    onStack.add(v)
    for w in sorted(edges.get(v, ())):
        if w not in index:
            visit(w)
            low[v] = min(low[v], low[w])
        elif w in onStack:
            low[v] = min(low[v], index[w])
    if low[v] == index[v]:
        part = []
        while True:
            w = stack.pop()
            onStack.discard(w)
            part.append(w)
            if w == v:
                break
        if len(part) > 1:
            cycles.append(sorted(part))


sys.setrecursionlimit(10000)
for v in sorted({node(r) for r in files}):
    if v not in index:
        visit(v)
for part in cycles:
    print("cycle: " + " <-> ".join(part))
print(f"{len(cycles)} include cycle(s) among {len({node(r) for r in files})} units")
sys.exit(1 if cycles else 0)
