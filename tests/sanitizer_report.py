"""Reads the reports the sanitizer run left and fails on any that concern quelvane.

The interpreter is not built for leak checking: LeakSanitizer does not scan the arenas where
Python keeps its small objects, so every live object that only they point to counts as leaked
(cached stat results, tuples of the interpreter's caches, a long str we returned that a test
still holds), and so do other extensions' allocations (cryptography's among them), differently
between versions. Rather than listing every one as a suppression, a leak is ours when the first
frame above the allocator that belongs either to us or to the interpreter is ours: we allocated
it, directly or through a library we called (OpenSSL, ICU, the C++ runtime). When the
interpreter comes first, the block is a Python object we made and handed over; how long it lives
is a matter of references, which the leak tests check. A frame is ours by its object file (our
module) or its source file (our src/); nothing else in its path counts, since the clone's
folder, and the virtualenv in it, may well be called quelvane too."""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).absolute().parent.parent
# An unsymbolised frame ends with its object file: "(/path/quelvane.abi3.so+0x1234)", and
# newer runtimes add "(BuildId: ...)".
OBJECT_END = r"\+0x[0-9a-f]+\)(?: \(BuildId: [0-9a-f]+\))?\s*$"
OUR_OBJECT = re.compile(r"[(/]quelvane(?:\.[\w-]+)*\.so" + OBJECT_END)
INTERPRETER = re.compile(r"[(/](?:lib)?python3[\d.]*(?:\.so[\d.]*)?" + OBJECT_END + r"| in _?Py[A-Z]\w* ")
FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+ ")


def source_prefixes(root):
    """Our sources as a symbolised frame may name them: the build sees the tree by the path it
    was given, which need not be the resolved one."""
    return {f" {path}/src/" for path in (root, root.resolve())}


def blocks(text):
    return re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)


def is_ours(block, root=ROOT):
    prefixes = source_prefixes(root)
    for frame in (line for line in block.splitlines() if FRAME.match(line)):
        if OUR_OBJECT.search(frame) or any(p in frame for p in prefixes):
            return True
        if INTERPRETER.search(frame):
            return False
    return False


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
