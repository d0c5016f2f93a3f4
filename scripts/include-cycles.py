#!/usr/bin/env python3
"""Prints the include graph's cycles: the strongly connected components of
more than one module among the server's sources (tests, benchmarks and tools
stand outside). Usage: scripts/include-cycles.py [source root]"""
import os, re, sys
from collections import defaultdict

ROOT = sys.argv[1] if len(sys.argv) > 1 else "."
SKIP = {"tests", "bench", "tools", "build", "docs", "etc", "scripts"}

# X_internal.h and X_format.h belong to module X; a folder's own internal.h
# (corvask/) to the module named after the folder.
def module(path):
    base = re.sub(r"\.(cpp|h)$", "", path)
    folder, name = base.split("/", 1)
    if name == "internal":
        return f"{folder}/{folder}"
    return re.sub(r"_(internal|format)$", "", base)

graph = defaultdict(set)
for folder in sorted(os.listdir(ROOT)):
    full = os.path.join(ROOT, folder)
    if folder.startswith(".") or folder in SKIP or not os.path.isdir(full) or folder.startswith("build"):
        continue
    for name in sorted(os.listdir(full)):
        if not name.endswith((".cpp", ".h")):
            continue
        src = module(f"{folder}/{name}")
        graph[src]
        with open(os.path.join(full, name)) as f:
            for line in f:
                m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                if m and "/" in m.group(1):
                    dst = module(m.group(1))
                    if dst != src:
                        graph[src].add(dst)

# Tarjan's algorithm, iterative.
index, low, stack, on, comps = {}, {}, [], set(), []
counter = 0
for root in sorted(graph):
    if root in index:
        continue
    work = [(root, iter(sorted(graph[root])))]
    index[root] = low[root] = counter; counter += 1
    stack.append(root); on.add(root)
    while work:
        v, it = work[-1]
        for w in it:
            if w not in index:
                index[w] = low[w] = counter; counter += 1
                stack.append(w); on.add(w)
                work.append((w, iter(sorted(graph.get(w, ())))))
                break
            if w in on:
                low[v] = min(low[v], index[w])
        else:
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[v])
            if low[v] == index[v]:
                comp = []
                while True:
                    w = stack.pop(); on.discard(w); comp.append(w)
                    if w == v:
                        break
                if len(comp) > 1:
                    comps.append(sorted(comp))

comps.sort(key=len, reverse=True)
print(f"{len(graph)} modules, {len(comps)} cycles")
for c in comps:
    print(f"  {len(c)}: {' '.join(c)}")
