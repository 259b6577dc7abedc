#!/usr/bin/env python3
"""Turns a Markdown page into plain text for readers without a Markdown viewer.

    plain_text.py SOURCE TARGET    writes SOURCE as plain text (UTF-8, LF) to TARGET
    plain_text.py --check SOURCE   fails when the plain text would still carry markup

The release makes the Windows zips' GUIDE-zh.txt from docs/集成指南.md this way (then
pack.py text gives it Notepad's byte-order mark and CR LF). Comments (<!-- ... -->) are
left out; headings lose their #; code spans, bold and italics lose their marks, and the
text inside them stays byte for byte; a link keeps its text and its address in
parentheses; fenced code is indented by four spaces; each table row becomes a block of
"column: value" lines.
"""

import re
import sys
import unicodedata

WIDTH = 100  # display columns, a wide (CJK) character counting two
INLINE = re.compile(r"`([^`]*)`|!\[([^\]]*)\]\([^)]*\)|\[([^\]]*)\]\(([^)]*)\)|\*\*(.+?)\*\*"
                    r"|(?<![A-Za-z0-9_*])\*(\S[^*]*?)\*(?![A-Za-z0-9_*])", re.S)


def inline(text):
    """The text with its inline markup taken out; code spans' contents stay as they are."""
    def plain(m):
        code, image, link, url, bold, italic = m.groups()
        if code is not None:
            return code
        if image is not None:
            return image
        if link is not None:
            return f"{inline(link)} ({url})"
        return inline(bold if bold is not None else italic)
    return INLINE.sub(plain, text)


def width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def wrap(text, indent):
    """Breaks a long line after a blank or punctuation, or between wide characters."""
    lines = []
    while width(indent + text) > WIDTH:
        room, cut = WIDTH - width(indent), 0
        used = 0
        for i, c in enumerate(text):
            used += width(c)
            if used > room:
                break
            if c in " 、，；。：）" or (i + 1 < len(text) and width(c) == 2 and width(text[i + 1]) == 2
                                      and text[i + 1] not in "、，；。：）"):
                cut = i + 1
        if cut == 0:
            break
        lines.append(indent + text[:cut].rstrip())
        text = text[cut:].lstrip()
    lines.append(indent + text)
    return lines


def cells(row):
    return [c.strip() for c in row.strip().strip("|").split("|")]


def table(rows):
    header = [inline(c) for c in cells(rows[0])]
    out = []
    for row in rows[2:]:
        values = [inline(c) for c in cells(row)]
        for n, (name, value) in enumerate(zip(header, values)):
            if value:
                out.extend(wrap(f"{name}：{value}", "" if n == 0 else "  "))
        out.append("")
    return out[:-1]


def convert(markdown):
    markdown = re.sub(r"<!--.*?-->[ \t]*\n?", "", markdown, flags=re.S)
    out = []
    lines = markdown.split("\n")
    i = 0
    fenced = False
    code = False  # in an indented code block, which follows a blank line
    paragraph = []  # text lines, whose inline markup may run from one line to the next

    def flush():
        if paragraph:
            # A bold lead-in ends in a full stop and a blank that the plain text does not need.
            text = re.sub(r"([。：]) (?=\S)", r"\1", inline("\n".join(paragraph)))
            out.extend(text.split("\n"))
            paragraph.clear()

    while i < len(lines):
        line = lines[i]
        code = line.startswith("    ") and (code or not (out or paragraph) or
                                           (not paragraph and out[-1] == ""))
        if line.startswith("```"):
            flush()
            fenced = not fenced
        elif fenced:
            out.append("    " + line if line else "")
        elif line.startswith("|"):
            flush()
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                i += 1
            out.extend(table(rows))
            continue
        elif code:
            out.append(line)  # as it stands
        elif not line.strip():
            flush()
            out.append("")
        else:
            paragraph.append(re.sub(r"^#{1,6} ", "", line))
        i += 1
    flush()
    text = "\n".join(out)
    return re.sub(r"\n{3,}", "\n\n", text).strip("\n") + "\n"


def leftovers(text):
    """Markup that the plain text should not show."""
    found = []
    for n, line in enumerate(text.split("\n"), 1):
        for mark, what in (("`", "a code span's mark"), ("**", "bold"), ("<!--", "a comment"),
                           ("-->", "a comment"), ("](", "a link")):
            if mark in line:
                found.append(f"line {n}: {what}: {line.strip()}")
        if re.match(r"#{1,6} |\|", line):
            found.append(f"line {n}: a heading or table row: {line.strip()}")
    return found


def main(argv):
    if len(argv) == 3 and argv[1] == "--check":
        with open(argv[2], encoding="utf-8") as f:
            found = leftovers(convert(f.read()))
        for problem in found:
            print(f"plain_text: {argv[2]}: {problem}", file=sys.stderr)
        return 1 if found else 0
    if len(argv) == 3 and not argv[1].startswith("-"):
        with open(argv[1], encoding="utf-8") as f:
            text = convert(f.read())
        with open(argv[2], "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        return 0
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
