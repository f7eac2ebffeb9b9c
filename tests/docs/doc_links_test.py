#!/usr/bin/env python3
"""Every relative link in the guides resolves.

    doc_links_test.py FOLDER-OR-FILE...

For each Markdown file given (or in each folder given), every link
[text](target) that is not a web address must name a file that exists,
relative to the file that links to it, and a "#fragment" must name one of
that file's headings as GitHub makes anchors of them. Fenced code is not
read. Exit 0 when every link holds, 1 (listing the broken ones) otherwise.
"""
import os
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def anchors(path):
    """The anchors GitHub gives the headings of a Markdown file."""
    found = set()
    counts = {}
    fenced = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("```"):
                fenced = not fenced
            if fenced or not line.startswith("#"):
                continue
            text = line.lstrip("#").strip().lower()
            slug = re.sub(r"[^\w\- ]", "", text).replace(" ", "-")
            n = counts.get(slug, 0)
            counts[slug] = n + 1
            found.add(slug if n == 0 else f"{slug}-{n}")
    return found


def links(path):
    fenced = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if line.startswith("```"):
                fenced = not fenced
            if fenced or line.startswith("    "):
                continue
            for target in LINK.findall(line):
                yield number, target


def check(path):
    broken = []
    for number, target in links(path):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target):
            continue  # https:, mailto:, file:
        name, _, fragment = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(path), name)) if name else path
        if not os.path.exists(linked):
            broken.append(f"{path}:{number}: {target}: no such file")
        elif fragment and linked.endswith(".md") and fragment not in anchors(linked):
            broken.append(f"{path}:{number}: {target}: no such heading")
    return broken


def main(arguments):
    files = []
    for argument in arguments:
        if os.path.isdir(argument):
            files += sorted(os.path.join(argument, n) for n in os.listdir(argument) if n.endswith(".md"))
        else:
            files.append(argument)
    if not files:
        print("no guides to check", file=sys.stderr)
        return 1
    broken = [line for path in files for line in check(path)]
    for line in broken:
        print(line, file=sys.stderr)
    print(f"{len(files)} guides, {len(broken)} broken links")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
