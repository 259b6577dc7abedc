#!/usr/bin/env python3
"""Splits the live heap of a cycle_sim run between the gateway and the simulation.

Reads the heap profiles that cycle_sim --heap-dumps wrote under jemalloc's sampling heap
profiler (the live allocations it sampled, by stack) and charges each stack's bytes to the
innermost frame of this project's own code on it, inlined frames included (llvm-symbolizer):
  gateway     a frame compiled from src/ (or, generated or without a line, a function in
              ol:: that is neither ol::testing nor ol::sim)
  simulation  a frame compiled from tests/ or tools/, or in ol::testing / ol::sim; the
              simulated disk's files are allocated in ol::testing::MemoryFileStore and so
              count here, even when the gateway wrote them
  runtime     no frame of this project at all (the C++ runtime's and the loader's own)
The profiler samples a Poisson process over the bytes allocated, N bytes apart on average:
a stack's n sampled objects of s bytes in all stand for n/(1-exp(-s/n/N)) objects, as pprof
counts them. The exact live bytes at the same hours come from a run without profiling
(its log: "heap LABEL: N bytes allocated"), since sampling itself inflates the allocator's
own count.

  tools/sim_memory.py BINARY PREFIX [--exact LOG] [--source DIR] [--top N]
reads PREFIX.*.heap (from scripts/sim-memory) and prints, for every profile: the live heap
(exact and from the samples), the three shares, the largest holders of the gateway and of
the simulation, then each gateway holder across the profiles, to show what grows.
"""

import argparse
import collections
import glob
import math
import os
import re
import subprocess
import sys

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SIM_NAMESPACES = ("ol::testing::", "ol::sim::")


def read_sample(path):
    """The samples (objects, bytes, stack of addresses) and the mappings of one heap file."""
    samples, maps = [], []
    with open(path, encoding="utf-8", errors="replace") as f:
        header = f.readline()
        m = re.match(r"heap_v2/(\d+)", header)
        if not m:
            sys.exit(f"{path}: not a sampled heap profile (heap_v2): {header.strip()}")
        period = int(m.group(1))
        stack, in_maps = None, False
        for line in f:
            if line.startswith("MAPPED_LIBRARIES:"):
                in_maps = True
            elif in_maps:
                parts = line.split()
                if len(parts) >= 6 and "-" in parts[0]:
                    lo, hi = (int(x, 16) for x in parts[0].split("-"))
                    maps.append((lo, hi, int(parts[2], 16), parts[5]))
            elif line.startswith("@"):
                stack = tuple(int(a, 16) for a in line[1:].split())
            elif stack is not None:
                # The stack's line for all threads together; those of each thread follow.
                m = re.match(r"\s*t\*:\s*(\d+):\s*(\d+)", line)
                if m:
                    samples.append((int(m.group(1)), int(m.group(2)), stack))
    return period, samples, maps


def unsampled(count, size, period):
    """The bytes a sample stands for."""
    if count == 0 or size == 0:
        return 0.0
    return size / (1.0 - math.exp(-(size / count) / period))


def load_bases(maps):
    """Each mapped file's load address: where its mapping of file offset 0 starts."""
    bases = {}
    for lo, _hi, offset, name in maps:
        if offset == 0 and name.startswith("/") and name not in bases:
            bases[name] = lo
    return bases


def module_of(addr, maps):
    for lo, hi, _offset, name in maps:
        if lo <= addr < hi:
            return name
    return None


def symbolize(module, offsets):
    """{offset: [(function, file, line), ...] innermost first}, inlined frames included."""
    if not offsets:
        return {}
    ordered = sorted(offsets)
    text = "".join(f"0x{o:x}\n" for o in ordered)
    out = subprocess.run(
        ["llvm-symbolizer", f"--obj={module}", "--inlining", "--demangle"],
        input=text, capture_output=True, text=True, check=True).stdout
    blocks = out.split("\n\n")
    result = {}
    for offset, block in zip(ordered, blocks):
        lines = [l for l in block.split("\n") if l]
        frames = []
        for i in range(0, len(lines) - 1, 2):
            parts = lines[i + 1].rsplit(":", 2)
            where = parts[0] if parts[0] != "??" else ""
            frames.append((lines[i], where, parts[1] if len(parts) > 1 else ""))
        result[offset] = frames
    return result


def side_of(function, where, root):
    """gateway, simulation or None (not this project's code) for one frame."""
    path = os.path.realpath(where) if where else ""
    for folder, side in (("src", "gateway"), ("tests", "simulation"), ("tools", "simulation")):
        if path.startswith(os.path.join(root, folder) + os.sep):
            return side
    if path and not path.startswith(root + os.sep):
        return None  # the compiler's and the system's headers
    # Generated sources, or no line at all: the function's namespace tells.
    if function.startswith(SIM_NAMESPACES):
        return "simulation"
    if function.startswith("ol::"):
        return "gateway"
    return None


def short(function, limit=110):
    """A function's name without its argument list, cut to fit a line."""
    name = function
    while True:
        trimmed = re.sub(r"\s*(const|volatile|noexcept|&&|&)$", "", name)
        if trimmed == name:
            break
        name = trimmed
    if name.endswith(")") and not name.endswith("operator()"):
        depth = 0
        for i in range(len(name) - 1, -1, -1):
            if name[i] == ")":
                depth += 1
            elif name[i] == "(":
                depth -= 1
                if depth == 0:
                    name = name[:i]
                    break
    name = name.replace("std::__cxx11::basic_string<char, std::char_traits<char>, "
                        "std::allocator<char> >", "std::string")
    return name if len(name) <= limit else name[:limit - 3] + "..."


def holder_of(side, function, where, line, root):
    """How a holder is named: its function, and the line too when the name is bare (an
    inlined lambda or a local class's function, which the debug information names alone)."""
    name = short(function)
    place = os.path.relpath(where, root) if where else "?"
    if "::" not in name and line:
        place += f":{line}"
    return (side, name, place)


def label_hour(label):
    m = re.search(r"-h(\d+)$", label)
    return int(m.group(1)) if m else -1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary")
    parser.add_argument("prefix")
    parser.add_argument("--exact", help="log of the run without profiling")
    parser.add_argument("--source", default=ROOT, help="the tree the binary was built from")
    parser.add_argument("--top", type=int, default=12)
    args = parser.parse_args()
    root = os.path.realpath(args.source)
    binary = os.path.realpath(args.binary)

    files = sorted(glob.glob(glob.escape(args.prefix) + ".*.heap"),
                   key=lambda p: label_hour(p[len(args.prefix) + 1:-len(".heap")]))
    if not files:
        sys.exit(f"no heap samples at {args.prefix}.*.heap")

    exact = {}
    if args.exact:
        with open(args.exact, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = re.match(r"heap (\S+): (\d+) bytes allocated", line)
                if m:
                    exact[m.group(1)] = int(m.group(2))

    dumps = []
    addresses = collections.defaultdict(set)  # module -> offsets
    for path in files:
        label = path[len(args.prefix) + 1:-len(".heap")]
        period, samples, maps = read_sample(path)
        bases = load_bases(maps)
        dumps.append((label, period, samples, maps, bases))
        for _count, _size, stack in samples:
            for addr in stack:
                module = module_of(addr, maps)
                if module in bases:
                    # A return address: the call is the byte before it.
                    addresses[module].add(addr - 1 - bases[module])

    # Only the simulation binary's frames can be this project's; the libraries' frames are
    # named for the holders' stacks but never decide a side.
    symbols = {}
    for module, offsets in addresses.items():
        if os.path.realpath(module) == binary:
            symbols[module] = symbolize(module, offsets)

    holders_by_dump = []
    for label, period, samples, maps, bases in dumps:
        sides = collections.Counter()
        counts = collections.Counter()
        holders = collections.defaultdict(lambda: [0.0, 0])  # (side, function, where) -> bytes, n
        for count, size, stack in samples:
            estimate = unsampled(count, size, period)
            side, holder = "runtime", None
            for addr in stack:
                module = module_of(addr, maps)
                frames = symbols.get(module, {}).get(addr - 1 - bases.get(module, 0), [])
                for function, where, line in frames:
                    s = side_of(function, where, root)
                    if s:
                        side = s
                        holder = holder_of(s, function, where, line, root)
                        break
                if holder:
                    break
            sides[side] += estimate
            counts[side] += count
            key = holder or ("runtime", "(no frame of this project)", "")
            holders[key][0] += estimate
            holders[key][1] += count
        holders_by_dump.append((label, holders))

        total = sum(sides.values())
        n = sum(c for c, _s, _st in samples)
        print(f"== {label}: hour {label_hour(label)}, a sample every {period} bytes on average")
        if label in exact:
            print(f"   live heap (exact, unprofiled)   {exact[label] / 1e6:9.3f} MB")
        print(f"   live heap (from the samples)    {total / 1e6:9.3f} MB  ({n} samples)")
        for side in ("gateway", "simulation", "runtime"):
            share = 100.0 * sides[side] / total if total else 0.0
            print(f"   {side:<31} {sides[side] / 1e6:9.3f} MB  {share:5.1f}%  "
                  f"({counts[side]} samples)")
        for side in ("gateway", "simulation"):
            print(f"   largest holders, {side}:")
            ranked = sorted(((v, k) for k, v in holders.items() if k[0] == side), reverse=True)
            for (estimate, n), (_s, function, line) in ranked[:args.top]:
                print(f"     {estimate / 1e3:10.1f} kB {n:6d}  {function}  [{line}]")
        print()

    # Each gateway holder across the samples, the largest last time first.
    labels = [label for label, _ in holders_by_dump]
    keys = set()
    for _label, holders in holders_by_dump:
        keys.update(k for k in holders if k[0] == "gateway")
    last = holders_by_dump[-1][1]
    ranked = sorted(keys, key=lambda k: -last.get(k, [0.0])[0])
    print("== gateway holders in kB at hour " + ", ".join(str(label_hour(l)) for l in labels) +
          ", then last less first")
    for k in ranked[:args.top * 2]:
        row = [h.get(k, [0.0])[0] / 1e3 for _l, h in holders_by_dump]
        cells = " ".join(f"{v:9.1f}" for v in row)
        print(f"   {cells} {row[-1] - row[0]:+9.1f}  {k[1]}  [{k[2]}]")
    first = sum(v[0] for k, v in holders_by_dump[0][1].items() if k[0] == "gateway")
    final = sum(v[0] for k, v in last.items() if k[0] == "gateway")
    print(f"   gateway in all: {first / 1e3:.1f} kB at hour {label_hour(labels[0])}, "
          f"{final / 1e3:.1f} kB at hour {label_hour(labels[-1])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
