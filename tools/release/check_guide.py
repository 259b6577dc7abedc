#!/usr/bin/env python3
"""Keeps the integrator's guide in Chinese in line with the README, its source.

    check_guide.py README GUIDE            fails when the guide has fallen behind
    check_guide.py README GUIDE --update   records the README sections as they are now

Every section of the README is either for developers (listed below) or mirrored in the
guide, where a marker names it with a fingerprint of its text:

    <!-- README "## One exchange at a time" 1f2e3d4c5b6a -->

A README section whose text changed since the guide was brought in line with it fails the
check until its guide section is updated and --update records the new fingerprint; so
does a new README section that is neither mirrored nor listed here, and a file name
(NAME.txt) or message number (0x...) that a mirrored section names and the guide does not.
"""

import hashlib
import re
import sys

# README sections for the people who build and test the gateway, not for integrators.
FOR_DEVELOPERS = {
    "## The two commands",
    "## Screens",
    "## Benchmarks",
    "## Building by hand",
    "### Tests under Wine",
    "## Layout of the code",
    "### Mutation testing",
}

MARKER = re.compile(r'<!-- README "(#{1,6} [^"]+)" ([0-9a-f]{12}) -->')


def sections(readme):
    """The README's sections outside fenced code: heading -> its own text."""
    found = {}
    heading = None
    body = []
    fenced = False
    for line in readme.splitlines():
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
    if len(argv) not in (3, 4) or (len(argv) == 4 and argv[3] != "--update"):
        sys.exit(__doc__)
    readme_path, guide_path = argv[1], argv[2]
    with open(readme_path, encoding="utf-8") as f:
        readme = sections(f.read())
    with open(guide_path, encoding="utf-8") as f:
        guide = f.read()

    problems = []
    marked = {m.group(1): m for m in MARKER.finditer(guide)}
    first = list(readme)[0]  # the title's section, the product's description
    for heading in readme:
        if heading not in marked and heading not in FOR_DEVELOPERS and heading != first:
            problems.append(f'README section "{heading}" is neither mirrored in the guide '
                            f"(a marker) nor listed as for developers in {argv[0]}")
    if first not in marked:
        problems.append(f'the guide does not mirror the README\'s opening "{first}"')
    for heading, marker in marked.items():
        if heading not in readme:
            problems.append(f'the guide mirrors README section "{heading}", which no longer exists')
            continue
        if len(argv) == 4:
            guide = guide.replace(marker.group(0), f'<!-- README "{heading}" {fingerprint(readme[heading])} -->')
        elif marker.group(2) != fingerprint(readme[heading]):
            problems.append(f'README section "{heading}" changed since the guide was brought in '
                            "line with it: update the guide's section, then record it with --update")
    lowered = guide.lower()
    for heading in marked:
        for fact in sorted(facts(readme.get(heading, ""))):
            if fact not in lowered:
                problems.append(f'README section "{heading}" names {fact}; the guide does not')

    if len(argv) == 4:
        with open(guide_path, "w", encoding="utf-8") as f:
            f.write(guide)
        problems = [p for p in problems if "changed since" not in p]
    for p in problems:
        print(f"check_guide: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
