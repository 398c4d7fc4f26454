"""Reads the reports the sanitizer run left and fails on any that concern quelvane.

The interpreter is not built for leak checking: at exit it leaves objects that LeakSanitizer
counts as leaks (cached stat results, tuples of its own caches), and they differ between Python
versions. Rather than listing every one as a suppression, a leak counts when one of its frames
is in quelvane; a leak of ours always has such a frame, since we allocate only from our code."""
import pathlib
import re
import sys


def blocks(text):
    return re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)


def main(log_dir):
    ours, other, errors = [], 0, []
    for log in sorted(pathlib.Path(log_dir).glob("log.*")):
        text = log.read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            errors.append(text)
        for block in blocks(text)[1:]:
            if "quelvane" in block:
                ours.append(block)
            else:
                other += 1
    for report in errors + ours:
        print(report)
    print(f"sanitizer: {len(errors)} errors, {len(ours)} leaks in quelvane, {other} interpreter leak reports ignored")
    return 1 if errors or ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
