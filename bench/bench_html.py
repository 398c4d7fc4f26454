"""What reading the visible text of hostile HTML costs: deep nesting, unfinished markup, long
attribute lists, misnested formatting. Each case is read by the host under test ("after") and,
when given, by another checkout of the host ("before"), each in its own process so that one
cannot warm the other; a case that runs past the time limit is cut off and shown as such.
The floor is an ordinary page of paragraphs of the same size, read in the same run: a reader
that costs constant time per tag keeps every case within a small factor of it.

    python bench/bench_html.py [--before /work/main/host] [--limit 60]
"""
import argparse
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
AFTER = HERE.parent / "host"


def _documents():
    """(label, format, the Python expression that builds the document)."""
    return [
        ("ordinary page, 1.1 MB (floor)", "html", "'<p>' + ('word ' * 40 + '</p><p>') * 5500"),
        ("<div> x 40,000 + 60 words", "html", "'<div>' * 40000 + 'word ' * 60"),
        ("<div> x 100,000 + 60 words", "html", "'<div>' * 100000 + 'word ' * 60"),
        ("markdown, <div> x 40,000", "markdown", "'<div>' * 40000 + '\\n\\n' + 'word ' * 60"),
        ("<b> x 100,000", "html", "'<b>' * 100000 + 'word ' * 60"),
        ("<b> x 3,000,000 (past the open elements kept)", "html", "'<b>' * 3000000 + 'word'"),
        ("<span> x 100,000 then </x> x 100,000", "html", "'<span>' * 100000 + '</x>' * 100000 + 'word'"),
        ("'<' x 1,000,000", "html", "'<' * 1000000"),
        ("'<a ' x 300,000", "html", "'<a ' * 300000"),
        ("'&' x 1,000,000", "html", "'&' * 1000000"),
        ("'</' x 500,000", "html", "'</' * 500000"),
        ("'<!' x 500,000", "html", "'<!' * 500000"),
        ("<p> with 100,000 attributes", "html", "'<p ' + ' '.join(f'a{i}=x' for i in range(100000)) + '>word'"),
        ("unfinished comment, 1 MB", "html", "'word <!--' + 'x' * 1000000"),
        ("unfinished tag, 1 MB", "html", "'word <p title=\"' + 'x' * 1000000"),
        ("<b> + <div> x 10,000 + </b> x 10,000", "html", "'<b>' + '<div>' * 10000 + '</b>' * 10000 + 'word'"),
        ("<p> + 10,000 <b id=N>, reopened 10,000 times", "html",
         "'<p>' + ''.join(f'<b id={i}>' for i in range(10000)) + '</p>' + '<p>x</p>' * 10000"),
        ("40 <b id=N><span>, <div>, <span> x 100,000, </b> x 40", "html",
         "''.join(f'<b id={i}><span>' for i in range(40)) + '<div>' + '<span>' * 100000 + '</b>' * 40 + 'word'"),
        ("(<form><span> + <i> x 1,000 + </form>) x 100", "html",
         "('<form><span>' + '<i>' * 1000 + '</form>') * 100 + 'word'"),
    ]


_RUN = """
import sys, time
from quelvane_host.formats import visible_text
document = {expression}
start = time.process_time()
visible_text(document, {format!r})
print(time.process_time() - start)
"""


def _seconds(host, format, expression, limit):
    environment = dict(os.environ, PYTHONPATH=str(host))
    try:
        done = subprocess.run([sys.executable, "-c", _RUN.format(expression=expression, format=format)],
                              env=environment, capture_output=True, text=True, timeout=limit, check=True)
    except subprocess.TimeoutExpired:
        return None
    return float(done.stdout)


def _shown(seconds, limit):
    return f"> {limit:.0f} s" if seconds is None else f"{seconds:.2f} s"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="another checkout's host folder to compare with, e.g. /work/main/host")
    parser.add_argument("--limit", type=float, default=60.0, help="seconds after which a case is cut off")
    arguments = parser.parse_args()
    cases = _documents()
    floor = None
    print(f"{'case':<54} {'before':>9} {'after':>9} {'after/floor':>12}")
    for label, format, expression in cases:
        before = (_shown(_seconds(arguments.before, format, expression, arguments.limit), arguments.limit)
                  if arguments.before else "")
        after = _seconds(AFTER, format, expression, arguments.limit)
        if floor is None:
            floor = after
        ratio = "" if after is None or not floor else f"{after / floor:.2f}x"
        print(f"{label:<54} {before:>9} {_shown(after, arguments.limit):>9} {ratio:>12}", flush=True)


if __name__ == "__main__":
    main()
