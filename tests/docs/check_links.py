"""Every relative link in the project's Markdown pages resolves: the file is
there, and an anchor names one of its headings (as GitHub makes anchors).
Usage: check_links.py PROJECT_ROOT"""

import re
import sys
from pathlib import Path

LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(page):
    """The anchors GitHub gives PAGE's headings: lower case, punctuation dropped, spaces as hyphens."""
    found = set()
    for line in page.read_text().splitlines():
        if line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            found.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return found


def broken(root):
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    for page in pages:
        for target in LINK.findall(page.read_text()):
            if re.match(r"[a-z]+:", target):
                continue  # a URL, not a file of ours
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            if not linked.is_file():
                yield f"{page.relative_to(root)}: {target}: no such file"
            elif anchor and anchor not in anchors(linked):
                yield f"{page.relative_to(root)}: {target}: no such heading"


if __name__ == "__main__":
    faults = list(broken(Path(sys.argv[1]).resolve()))
    print("\n".join(faults) or "every link resolves")
    sys.exit(1 if faults else 0)
