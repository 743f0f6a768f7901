#!/usr/bin/env python3
"""Reads the fault list of break-check.sh and applies one fault to a tree.

  faultapply.py list FAULTS           prints "id<TAB>files<TAB>description" per fault
  faultapply.py apply FAULTS ID TREE  applies fault ID to TREE; prints the files it changed.
                                      Exit 0 applied, 3 stale (an old text is not found
                                      exactly once), 2 bad fault list.
Nothing is written unless every hunk of the fault applies.
"""
import sys


def parse(path):
    faults, cur, hunk, file = [], None, None, None
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("## "):
                ident, _, desc = line[3:].partition(":")
                cur = {"id": ident.strip(), "desc": desc.strip(), "hunks": []}
                faults.append(cur)
                hunk, file = None, None
            elif cur is None or line.strip() == "" or line.startswith("#"):
                continue
            elif line.startswith("file:"):
                file, hunk = line[5:].strip(), None
            elif line.startswith("-") or line.startswith("+"):
                text = line[2:] if line[1:2] == " " else line[1:]
                if file is None:
                    sys.exit(f"{path}:{lineno}: a hunk before any 'file:' line")
                if line[0] == "-" and (hunk is None or hunk["new"] is not None):
                    hunk = {"file": file, "old": [], "new": None}
                    cur["hunks"].append(hunk)
                if hunk is None:
                    sys.exit(f"{path}:{lineno}: a '+' line without '-' lines before it")
                if line[0] == "-":
                    hunk["old"].append(text)
                else:
                    hunk["new"] = (hunk["new"] or []) + [text]
            else:
                sys.exit(f"{path}:{lineno}: not part of the fault format: {line!r}")
    ids = [x["id"] for x in faults]
    dup = {i for i in ids if ids.count(i) > 1}
    if dup:
        sys.exit(f"{path}: duplicate fault ids: {', '.join(sorted(dup))}")
    for x in faults:
        if not x["hunks"]:
            sys.exit(f"{path}: fault {x['id']} has no hunk")
    return faults


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "list":
        for x in parse(sys.argv[2]):
            files = ",".join(dict.fromkeys(h["file"] for h in x["hunks"]))
            print(f"{x['id']}\t{files}\t{x['desc']}")
        return 0
    if len(sys.argv) != 5 or sys.argv[1] != "apply":
        print(__doc__, file=sys.stderr)
        return 2
    _, _, faults_path, ident, tree = sys.argv
    fault = next((x for x in parse(faults_path) if x["id"] == ident), None)
    if fault is None:
        print(f"no fault {ident}", file=sys.stderr)
        return 2
    texts = {}
    for h in fault["hunks"]:
        path = f"{tree}/{h['file']}"
        if h["file"] not in texts:
            try:
                with open(path, encoding="utf-8", newline="") as f:
                    texts[h["file"]] = f.read()
            except OSError as e:
                print(f"{h['file']}: {e.strerror}")
                return 3
        old = "\n".join(h["old"])
        new = "\n".join(h["new"] or [])
        count = texts[h["file"]].count(old)
        if count != 1:
            print(f"{h['file']}: old text found {count} times: {h['old'][0]!r}")
            return 3
        texts[h["file"]] = texts[h["file"]].replace(old, new)
    for name, text in texts.items():
        with open(f"{tree}/{name}", "w", encoding="utf-8", newline="") as f:
            f.write(text)
    print(" ".join(texts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
