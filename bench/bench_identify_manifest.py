"""What naming and validating each row's C2PA manifest adds to identify, measured in the same run.

For texts of several sizes (real English prose) published into a SQLite registry with a signing
identity, every round times in turn, for an exact copy (the published document) and an edited
copy (one character changed, so the hard binding cannot hold):
- bare: the identifier alone (the rows without their manifest check);
- identify: Registry.identify, which adds each row's manifest id and, for an exact copy, the C2PA
  SDK's validation against the trust anchors.
Ratio = identify / bare. Processor time of this process, medians of --rounds.

Run: python bench/bench_identify_manifest.py [--rounds 25]
"""
from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

from common import interleaved_medians, prose  # noqa: E402

from quelvane_host import Registry, formats  # noqa: E402
from quelvane_host.signing_identity import TEST_ROOT_FILE, add_trust_anchor  # noqa: E402

SIZES = (2_048, 20_000, 200_000)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=25)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        base = Path(folder)
        Registry.init(base / "registry.db", base / "k.key")[0].close()
        add_trust_anchor(base, (base / TEST_ROOT_FILE).read_bytes())
        with Registry.open(base / "registry.db", base / "k.key") as registry:
            bare = registry._identifier.identify  # the rows before their manifest checks
            print(f"rounds: {arguments.rounds}")
            print(f"{'text bytes':>10} {'copy':>7} {'bare ms':>8} {'identify ms':>12} {'ratio':>6} {'state':>8}")
            for size in SIZES:
                published = registry.publish(prose("english", size)).published
                at = published.index(" the ") + 1
                for kind, copy in (("exact", published), ("edited", published[:at] + "T" + published[at + 1:])):
                    state = registry.identify(copy)[0].manifest.state  # type: ignore[union-attr]
                    visible = formats.visible_text(copy, "text")
                    plain, full = interleaved_medians([(bare, visible), (registry.identify, copy)], arguments.rounds)
                    print(f"{len(published.encode()):>10} {kind:>7} {plain * 1e3:>8.2f} {full * 1e3:>12.2f} "
                          f"{full / plain:>5.2f}x {state or '-':>8}")


if __name__ == "__main__":
    main()
