"""The publish-and-verify round trip on a sample text.

A publisher fingerprints a text, signs the assertions, keeps the cross-check tag and publishes
the text with an invisible watermark. Later, copies turn up: one exact, one re-wrapped, one
lightly edited, one an excerpt, one unrelated. For each, the host recovers the watermark's
pointer (or falls back to the LSH band index), verifies the signed assertions, and classifies
how strongly the copy is bound to the manifest."""
import hashlib
import textwrap
from typing import Any

import quelvane

SAMPLE = """\
The lighthouse keeper on Marrow Point kept two logs. In the first he wrote the weather, the \
ships that passed and the hours the lamp had burned; in the second, which nobody had asked him \
to keep, he wrote down what the sea returned. Bottles, mostly, and rope, and once a wooden \
horse with one ear missing, which he dried by the stove and set on the windowsill facing east.

When the company sent a letter announcing that the light would be automated, he read it twice \
and put it in the second log, between a child's shoe and a float of green glass. He did not \
answer. The engineers came in April with crates of cable and a small grey box that would, they \
said, do everything he did without ever getting tired or lonely.

He showed them the stairs, the brass, the lens that had to be turned by hand when the motor \
failed. They nodded politely and photographed the wiring. On their last evening he cooked \
mackerel for all four of them and told them about the winter the ice came so far south that \
seals slept on the rocks below the tower and the lamp froze solid for a night.

In May he left with one suitcase and both logs. The grey box kept the light burning, exactly \
on time, and nobody on the passing ships could tell the difference. But the sea kept returning \
things to the shingle beneath the tower, and now there was nobody there to write them down.
"""

UNRELATED = """\
Preheat the oven to two hundred degrees. Whisk the eggs with the sugar until pale, fold in the \
flour and the melted butter, and pour the batter into a lined tin. Bake for twenty-five \
minutes, until a skewer comes out clean, then leave it to cool on a rack before slicing. Serve \
with cream, or with nothing at all, since a good sponge needs very little help from anyone.
"""

# The publisher's keys. A real one keeps the secret key in a vault; these are fixed for the demo.
SECRET_HEX = hashlib.sha256(b"demo publisher signing key").hexdigest()
BINDING_KEY_HEX = hashlib.sha256(b"demo watermark binding key").hexdigest()
REPO_KEY_HEX = hashlib.sha256(b"demo repository cross-check key").hexdigest()
REPO_ID = "repo.example/lighthouse"


def publish(text: str) -> tuple[str, dict[str, Any]]:
    """Builds and signs the assertions and returns (published text, repository record)."""
    pointer_hex = hashlib.sha256(b"manifest:" + text.encode()).hexdigest()[:32]
    assertions = [
        quelvane.soft_binding_fingerprint(text),
        quelvane.soft_binding_minhash(text),
        quelvane.soft_binding_structure(text),
        quelvane.soft_binding_watermark(pointer_hex),
    ]
    record = {
        "pointer": pointer_hex,
        "envelopes": [quelvane.sign(a, SECRET_HEX) for a in assertions],
        "crosscheck": quelvane.cross_check(REPO_KEY_HEX, REPO_ID, quelvane.content_hash(text)),
        "bands": set(quelvane.minhash_bands(text)),
    }
    return quelvane.embed_watermark(text, pointer_hex, BINDING_KEY_HEX), record


def find(text: str, repository: dict[str, dict[str, Any]], public_hex: str) -> tuple[str, str, str, str]:
    """What a host learns about a found text: its watermark, how the manifest was located,
    whether the cross-check holds, and the tier."""
    try:
        pointer, tag_verified, rebuilt = quelvane.extract_watermark(text, BINDING_KEY_HEX)
        watermark = f"{pointer[:8]}…, tag {'verified' if tag_verified else 'NOT verified'}, {rebuilt} rebuilt"
        record, located = repository.get(pointer), "watermark"
    except ValueError as error:
        short = "text too short" if str(error).startswith("text content too short") else "unrecoverable"
        tag_verified, record, watermark = False, None, f"none ({short})"
    if record is None:
        bands = set(quelvane.minhash_bands(text))
        record = next((r for r in repository.values() if r["bands"] & bands), None)
        located = "LSH bands" if record is not None else "-"
    if record is None:
        return watermark, located, "-", "REVIEW"
    crosscheck_ok = quelvane.cross_check(REPO_KEY_HEX, REPO_ID, quelvane.content_hash(text)) == record["crosscheck"]
    order = {"BOUND": 0, "LIKELY": 1, "REVIEW": 2}
    tier = "REVIEW"
    for envelope in record["envelopes"]:
        assertion = quelvane.verify(envelope, public_hex)  # raises if the signature is not ours
        candidate = quelvane.verify_tier(text, assertion, tag_verified, crosscheck_ok)
        tier = min(tier, candidate, key=lambda name: order[name])
    return watermark, located, "yes" if crosscheck_ok else "no", tier


def rewrap(text: str, width: int) -> str:
    paragraphs = text.split("\n\n")
    return "\n\n".join(textwrap.fill(p, width=width, break_long_words=False) for p in paragraphs)


def main() -> None:
    public_hex = quelvane.public_key(SECRET_HEX)
    published, record = publish(SAMPLE)
    repository = {record["pointer"]: record}
    print(f"published {len(SAMPLE)} characters; content hash {quelvane.content_hash(SAMPLE)[:16]}…")
    print(f"public key {public_hex[:16]}…, watermark pointer {record['pointer']}")
    print(f"watermark adds {len(published) - len(SAMPLE)} invisible characters\n")

    paragraphs = published.split("\n\n")
    copies = [
        ("exact copy", published),
        ("re-wrapped copy", rewrap(published, 52)),
        ("lightly edited copy", published.replace("two logs", "three logs").replace("April", "March")),
        ("excerpt (two paragraphs)", "\n\n".join(paragraphs[1:3])),
        ("unrelated text", UNRELATED),
    ]
    rows = [("found text", "watermark", "located by", "cross-check", "tier")]
    rows += [(name, *find(text, repository, public_hex)) for name, text in copies]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for i, row in enumerate(rows):
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)))
        if i == 0:
            print("  ".join("-" * width for width in widths))


if __name__ == "__main__":
    main()
