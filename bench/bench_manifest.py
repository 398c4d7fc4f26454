"""What a C2PA manifest store adds to publishing, measured against publishing itself in the same run.

For texts of several sizes (real English prose), every round times in turn:
- publish: Registry.publish into a SQLite registry (sign, index, watermark, store);
- build: manifests.build_store for that publication (the manifest definition, the SDK's signing
  with the identity's chain, the hard binding over the published text) from the assertions
  publishing signed, as publishing would hand them over;
- SDK: the C2PA SDK alone signing that manifest's definition, made beforehand (the builder and
  its signing, with a signer and settings made once, as build's own are): the floor under build,
  whose difference to it is ours (the definition from the assertions, the calls around the SDK's);
- validate: manifests.validate of the store against the published text with the test root as
  anchor (the hard binding rehashed, the signature and chain checked).
- publish+manifest: Registry.publish into a registry with a signing identity, which builds the
  manifest store and keeps it in the same transaction (what `quelvane publish` does).
Ratio = publish+manifest / publish; goal at most 1.5x. The store size is shown too.
Processor time of this process (the SDK runs in it), medians of --rounds.

Run: python bench/bench_manifest.py [--rounds 15] [--algorithm ed25519|es256|es384]
"""
from __future__ import annotations

import argparse
import io
import sys
import tempfile
from functools import partial
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host"))

import c2pa  # noqa: E402
import quelvane  # noqa: E402
from common import interleaved_medians, prose  # noqa: E402

from quelvane_host import Keys, Registry  # noqa: E402
from quelvane_host import manifests  # noqa: E402
from quelvane_host.signing_identity import TEST_ROOT_FILE, make_test_identity  # noqa: E402

SIZES = (2_048, 20_000, 200_000)


def sdk_signing(identity):
    """The SDK's own signing of a definition (JSON) for a text's bytes, its signer and settings
    made once."""
    context = c2pa.Context.from_dict({"verify": {"verify_after_sign": False}})
    signer = c2pa.Signer.from_info(c2pa.C2paSignerInfo(getattr(c2pa.C2paSigningAlg, identity.algorithm.upper()),
                                                       identity.chain_pem, identity.key_pem, None))

    def sign(definition, data):
        with c2pa.Builder(definition, context) as builder:
            builder.set_no_embed()
            return builder.sign(signer, "text/plain", io.BytesIO(data), io.BytesIO())
    return sign


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--algorithm", default="ed25519", choices=("ed25519", "es256", "es384"))
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        base = Path(folder)
        identity = make_test_identity(base, algorithm=arguments.algorithm)
        anchors = (base / TEST_ROOT_FILE).read_text()
        Keys.generate("bench").save(base / "k.key")
        keys = Keys.load(base / "k.key")
        with Registry.create(base / "registry.db", keys) as registry, \
                Registry.create(base / "signed.db", keys, signing=identity) as signing:
            print(f"signing identity: {identity.algorithm}; rounds: {arguments.rounds}")
            sdk_sign = sdk_signing(identity)
            print(f"{'text bytes':>10} {'publish ms':>11} {'publish+manifest ms':>20} {'build ms':>9} {'SDK ms':>7} "
                  f"{'validate ms':>12} {'ratio':>6} {'store bytes':>12}")
            for size in SIZES:
                text = prose("english", size)
                result = registry.publish(text)
                signed = {e.alg: quelvane.verify(e.cose_hex, keys.public_hex)
                          for e in registry.show(result.pointer).envelopes}
                store = manifests.build_store(identity, result.published, signed, result.pointer, title="bench")
                assert manifests.validate(store, result.published, anchors).state == "Trusted"
                definition = manifests.definition(signed, result.pointer, title="bench")
                publish, with_manifest, build, sdk, validate = interleaved_medians([
                    (registry.publish, text),
                    (signing.publish, text),
                    (partial(manifests.build_store, identity, result.published, signed, result.pointer, title="bench"),),
                    (sdk_sign, definition, result.published.encode()),
                    (manifests.validate, store, result.published, anchors),
                ], arguments.rounds)
                print(f"{len(text.encode()):>10} {publish * 1e3:>11.2f} {with_manifest * 1e3:>20.2f} "
                      f"{build * 1e3:>9.2f} {sdk * 1e3:>7.2f} {validate * 1e3:>12.2f} {with_manifest / publish:>5.2f}x "
                      f"{len(store):>12}")


if __name__ == "__main__":
    main()
