#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md names a file that exists, and every #anchor
names a heading of its target, as the repository host turns headings into anchors."""
import pathlib
import re
import sys

LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(([^)\s]+)\)")


def without_code(text):
    text = re.sub(r"^(```|~~~).*?^\1", "", text, flags=re.M | re.S)
    text = re.sub(r"^(    |\t).*$", "", text, flags=re.M)
    return re.sub(r"`[^`\n]*`", "", text)


def anchors(path):
    found, seen = set(), {}
    in_fence = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.startswith(("```", "~~~")):
            in_fence = not in_fence
        heading = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if in_fence or not heading:
            continue
        slug = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def main(root):
    root = pathlib.Path(root).resolve()
    documents = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    faults = []
    for document in documents:
        for target in LINK.findall(without_code(document.read_text(encoding="utf-8"))):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue
            name, _, anchor = target.partition("#")
            linked = (document.parent / name).resolve() if name else document
            where = f"{document.relative_to(root)}: {target}"
            if not linked.exists():
                faults.append(f"{where}: no such file")
            elif anchor and linked.suffix == ".md" and anchor not in anchors(linked):
                faults.append(f"{where}: no heading with that anchor")
    for fault in faults:
        print(fault, file=sys.stderr)
    print(f"{len(documents)} documents, {len(faults)} broken links")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent))
