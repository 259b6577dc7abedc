#!/usr/bin/env python3
"""Keeps the integrator's guide in Chinese in line with the English pages it follows.

    check_guide.py SOURCE... GUIDE            fails when the guide has fallen behind
    check_guide.py SOURCE... GUIDE --update   records the sources' sections as they are now

The SOURCEs are the English pages for integrators (README.md, whose opening describes the
product, then the pages of docs/ it leads to); GUIDE is the last file named. Every section
of a source is either for developers (listed below) or mirrored in the guide, where a
marker names the source's file name, the section's heading and a fingerprint of its text:

    <!-- host-link.md "## One exchange at a time" 1f2e3d4c5b6a -->

A section whose text changed since the guide was brought in line with it fails the check
until its guide section is updated and --update records the new fingerprint; so does a new
section that is neither mirrored nor listed here, and a file name (NAME.txt) or message
number (0x...) that a mirrored section names and the guide does not.
"""

import hashlib
import os
import re
import sys

# Sections for the people who build and test the gateway, or that only lead elsewhere, by
# the file name of their page.
FOR_DEVELOPERS = {
    "README.md": {
        "## The two commands",
        "## How it fits together",
        "## Screens",
        "## Where to read next",
    },
    "releases.md": {
        "## The guide follows the English pages",
    },
    "windows.md": {
        "## Building the Windows edition",
    },
    "captures.md": {
        "# Captures and replay",
    },
    "host-link.md": {
        "# The host link, for integrators",
    },
    "simulators.md": set(),
}

MARKER = re.compile(r'<!-- ([A-Za-z0-9_.-]+\.md) "(#{1,6} [^"]+)" ([0-9a-f]{12}) -->')


def sections(text):
    """A page's sections outside fenced code: heading -> its own text."""
    found = {}
    heading = None
    body = []
    fenced = False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        if not fenced and re.match(r"#{1,6} ", line):
            if heading is not None:
                found[heading] = "\n".join(body)
            heading, body = line.strip(), []
        elif heading is not None:
            body.append(line)
    if heading is not None:
        found[heading] = "\n".join(body)
    return found


def fingerprint(text):
    return hashlib.sha256(" ".join(text.split()).encode("utf-8")).hexdigest()[:12]


def facts(text):
    """What a host program depends on literally: file names and message numbers."""
    names = {n.lower() for n in re.findall(r"\b[A-Za-z][A-Za-z0-9_-]*\.txt\b", text)}
    numbers = {n.lower() for n in re.findall(r"\b0x[0-9A-Fa-f]+\b", text)}
    return names | numbers


def main(argv):
    args = argv[1:]
    update = "--update" in args
    args = [a for a in args if a != "--update"]
    if len(args) < 2 or any(a.startswith("-") for a in args):
        sys.exit(__doc__)
    *source_paths, guide_path = args

    # (file name, heading) -> text, in the order of the pages and their sections
    source = {}
    problems = []
    for path in source_paths:
        name = os.path.basename(path)
        if any(n == name for n, _ in source):
            sys.exit(f"check_guide: two sources are named {name}")
        with open(path, encoding="utf-8") as f:
            for heading, text in sections(f.read()).items():
                source[(name, heading)] = text
        if name not in FOR_DEVELOPERS:
            problems.append(f"{name} is not a page this check knows: list its developers' "
                            f"sections (or none) in FOR_DEVELOPERS in {argv[0]}")
    with open(guide_path, encoding="utf-8") as f:
        guide = f.read()

    marked = {(m.group(1), m.group(2)): m for m in MARKER.finditer(guide)}
    first = next(iter(source))  # the README's title section, the product's description
    for key in source:
        name, heading = key
        if key not in marked and heading not in FOR_DEVELOPERS.get(name, ()) and key != first:
            problems.append(f'{name} section "{heading}" is neither mirrored in the guide '
                            f"(a marker) nor listed as for developers in {argv[0]}")
    if first not in marked:
        problems.append(f'the guide does not mirror {first[0]}\'s opening "{first[1]}"')
    for key, marker in marked.items():
        name, heading = key
        if key not in source:
            problems.append(f'the guide mirrors {name} section "{heading}", which no longer exists')
            continue
        if update:
            guide = guide.replace(marker.group(0),
                                  f'<!-- {name} "{heading}" {fingerprint(source[key])} -->')
        elif marker.group(3) != fingerprint(source[key]):
            problems.append(f'{name} section "{heading}" changed since the guide was brought in '
                            "line with it: update the guide's section, then record it with --update")
    lowered = guide.lower()
    for key in marked:
        for fact in sorted(facts(source.get(key, ""))):
            if fact not in lowered:
                problems.append(f'{key[0]} section "{key[1]}" names {fact}; the guide does not')

    if update:
        with open(guide_path, "w", encoding="utf-8") as f:
            f.write(guide)
        problems = [p for p in problems if "changed since" not in p]
    for p in problems:
        print(f"check_guide: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
