"""Reads the reports the sanitizer run left and fails on any that concern quelvane.

The interpreter is not built for leak checking: at exit it leaves objects that LeakSanitizer
counts as leaks (cached stat results, tuples of its own caches), and so do other extensions
(cryptography's among them), differently between versions. Rather than listing every one as a
suppression, a leak counts when one of its frames is in our module's object file or in one of
our source files; a leak of ours always has such a frame, since we allocate only from our code.
Nothing else in a frame's path counts: the clone's folder, and the virtualenv in it, may well be
called quelvane too."""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).absolute().parent.parent
# An unsymbolised frame ends with its object file: "(/path/quelvane.abi3.so+0x1234)".
OUR_OBJECT = re.compile(r"[(/]quelvane(?:\.[\w-]+)*\.so\+0x[0-9a-f]+\)\s*$")
FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+ ")


def source_prefixes(root):
    """Our sources as a symbolised frame may name them: the build sees the tree by the path it
    was given, which need not be the resolved one."""
    return {f" {path}/src/" for path in (root, root.resolve())}


def blocks(text):
    return re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)


def is_ours(block, root=ROOT):
    prefixes = source_prefixes(root)
    return any(OUR_OBJECT.search(line) or any(p in line for p in prefixes)
               for line in block.splitlines() if FRAME.match(line))


def judge(texts, root=ROOT):
    """(error reports, leak reports of ours, count of other leak reports) over the log texts."""
    errors, ours, other = [], [], 0
    for text in texts:
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            errors.append(text)
        for block in blocks(text)[1:]:
            if is_ours(block, root):
                ours.append(block)
            else:
                other += 1
    return errors, ours, other


def main(log_dir):
    logs = sorted(pathlib.Path(log_dir).glob("log.*"))
    errors, ours, other = judge(log.read_text(errors="replace") for log in logs)
    for report in errors + ours:
        print(report)
    print(f"sanitizer: {len(errors)} errors, {len(ours)} leaks in quelvane, {other} other leak reports ignored")
    return 1 if errors or ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
