"""Large and hostile inputs.

- A 50 MB text through every function that takes text, with results checked where a peer can
  check them at that size (hashlib, hmac, a regex canonical stream, the round trips).
- Degenerate texts (one huge word, nothing but marks, zero-width characters, line breaks or
  full stops) through every text function; those that could hang run in a child process.
- CBOR for verify and verify_tier with declared lengths far beyond the input, nesting deeper
  than the limits, and every malformed head: the exact message, at once, and without large
  allocations (a child process with its address space capped measures its peak RSS).
- Texts full of zero-width and watermark alphabet characters: embedding and extraction work or
  fail with the exact messages.
bench/bench_scaling.py measures how the time grows from 5 to 50 MB.
"""
import hashlib
import hmac
import json
import random
import re
import subprocess
import sys
import textwrap

import pytest

import large_texts
import quelvane
import samples

# Under the sanitizers everything runs several times slower; the sizes matter less there.
SIZE = (2 if samples.under_sanitizer() else 50) << 20
DEGENERATE_SIZE = (1 if samples.under_sanitizer() else 10) << 20
HANG_GUARD_SECONDS = 300  # a child that takes this long has hung; linear work takes seconds
KEY_HEX = "6b6579"
POINTER_HEX = "00112233445566778899aabbccddeeff"
PRIME = (1 << 61) - 1
ZERO_WIDTH = "\u200b\u200c\u200d\u2060\ufeff" + "".join(map(chr, range(0xFE00, 0xFE10)))


def text_functions():
    return [n for n in samples.present_functions() if "text" in samples.parameters(n)]


def reference_canonical(text):
    """The canonical stream of a text whose only characters are letters, spaces and ASCII punctuation."""
    return re.sub(r"[\W_]+", " ", text.lower()).strip()


def scalars_in_canonical(text):
    return len(reference_canonical(text))


@pytest.fixture(scope="module")
def big():
    return large_texts.varied_text(SIZE)


def check_soft_binding(text, name, assertion):
    assert re.fullmatch("[0-9a-f]+", assertion) and len(assertion) % 2 == 0
    tier = quelvane.verify_tier(text, assertion, False, True)
    assert tier == ("LIKELY" if name == "soft_binding_structure" else "BOUND")


def check_large(name, text):
    """Calls `name` on `text` (and its other arguments) and checks what can be checked at this size."""
    if name == "content_hash":
        expected = hashlib.sha256(reference_canonical(text).encode()).hexdigest()
        assert quelvane.content_hash(text) == expected
    elif name in ("text_fingerprint", "text_structure"):
        assert re.fullmatch("[0-9a-f]{64}", getattr(quelvane, name)(text))
    elif name == "minhash_signature":
        signature = quelvane.minhash_signature(text)
        assert len(signature) == 128 and all(0 <= v < PRIME for v in signature) and len(set(signature)) > 1
    elif name == "minhash_bands":
        assert len(quelvane.minhash_bands(text)) == 32
    elif name == "embed_watermark":
        marked = quelvane.embed_watermark(text, POINTER_HEX, KEY_HEX)
        assert len(marked) == len(text) + 192
        assert quelvane.extract_watermark(marked, KEY_HEX) == (POINTER_HEX, True, 0)
    elif name == "extract_watermark":
        with pytest.raises(ValueError, match="^watermark could not be recovered from remaining positions$"):
            quelvane.extract_watermark(text, KEY_HEX)
    elif name.startswith("soft_binding_"):
        check_soft_binding(text, name, getattr(quelvane, name)(text))
    elif name == "verify_tier":
        assertion = quelvane.soft_binding_watermark(POINTER_HEX)
        assert quelvane.verify_tier(text, assertion, True, False) == "LIKELY"
    else:
        raise AssertionError(f"no large-input check for {name}")


@pytest.mark.parametrize("name", text_functions())
def test_large_text(big, name):
    check_large(name, big)


def test_large_payload_and_repo_id(big):
    envelope = quelvane.sign(big, samples.SECRET_HEX)
    assert quelvane.verify(envelope, quelvane.public_key(samples.SECRET_HEX)) == big
    content_hash = quelvane.content_hash("x")
    expected = hmac.new(bytes.fromhex(KEY_HEX), big.encode() + bytes.fromhex(content_hash), "sha256").hexdigest()
    assert quelvane.cross_check(KEY_HEX, big, content_hash) == expected


def test_large_hex_arguments():
    # A 16 MB key, content hash and pointer: hex rule, HMAC key hashing, pointer cut to 16 bytes.
    long_hex = "ab" * (8 << 20)
    key = bytes.fromhex(long_hex)
    assert quelvane.cross_check(long_hex, "", long_hex) == hmac.new(key, key, "sha256").hexdigest()
    marked = quelvane.embed_watermark(samples.PROSE, long_hex, long_hex)
    assert quelvane.extract_watermark(marked, long_hex) == ("ab" * 16, True, 0)
    assert len(quelvane.soft_binding_watermark(long_hex)) > len(long_hex)


# Each builds a text of about n bytes that stresses one part of the text pipeline.
DEGENERATE = {
    "one word": "lambda n: 'a' * n",
    "one word of letters with marks": "lambda n: 'e\\u0301' * (n // 3)",
    "marks out of order": "lambda n: 'a' + '\\u0301\\u0323' * (n // 4)",
    "marks decomposing to marks": "lambda n: 'a' + '\\u0f73\\u0344' * (n // 5)",
    "marks alone": "lambda n: '\\u0323\\u0301' * (n // 4)",
    "zero-width only": "lambda n: '\\u200b\\u200c\\u200d\\u2060\\ufeff\\ufe0f' * (n // 18)",
    "watermark alphabet after words": "lambda n: ' '.join(['w'] * 60) + '\\u200b' * (n // 3)",
    "line breaks": "lambda n: '\\n' * n",
    "blank lines and words": "lambda n: 'word\\r\\n\\r\\n' * (n // 8)",
    "full stops": "lambda n: '.' * n",
    "one sentence": "lambda n: 'the cat and ' * (n // 12)",
    "spaces": "lambda n: ' ' * n",
    "supplementary letters": "lambda n: '\\U00010400' * (n // 4)",
}


def run_child(code, timeout=HANG_GUARD_SECONDS, data=None):
    """Runs Python code in a child process with this interpreter and environment, `data` as JSON
    on its standard input; returns its last line of output parsed as JSON."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout, cwd=str(samples.HERE), input=json.dumps(data))
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("label", list(DEGENERATE))
def test_degenerate_texts(label):
    """Every text function on the text, in a child process so that a hang fails the test."""
    outcomes = run_child(
        f"""
        import json, quelvane, samples
        make = {DEGENERATE[label]}
        text = make({DEGENERATE_SIZE})
        outcomes = {{}}
        for name in {text_functions()!r}:
            call = next(c for c in samples.all_calls() if c.name == name and c.error is None)
            try:
                getattr(quelvane, name)(**dict(call.kwargs, text=text))
                outcomes[name] = "ok"
            except ValueError as error:
                outcomes[name] = str(error)
        print(json.dumps(outcomes))
        """
    )
    # A word already followed by zero-width symbols cannot carry a run that would read back.
    allowed = {"ok", samples.TOO_SHORT, samples.UNRECOVERABLE, samples.CANNOT_CARRY}
    assert set(outcomes) == set(text_functions())
    assert set(outcomes.values()) <= allowed, outcomes
    # Only the watermark functions may refuse a text.
    assert all(v == "ok" for k, v in outcomes.items() if "watermark" not in k), outcomes


# ---------------------------------------------------------------------------------------------
# Hostile CBOR.

HUGE = "ff" * 8


def nested(opener, depth, inner="00"):
    return opener * depth + inner


# name -> CBOR hex. Each is refused by both readers; the soft-binding reader needs a map around
# anything it is to look into, so most are also given as the value of an unknown key.
HOSTILE = {
    "byte string of 2^64-1 bytes": "5b" + HUGE,
    "byte string of 2^32-1 bytes": "5a" + "ff" * 4 + "00",
    "text string of 2^64-1 bytes": "7b" + HUGE,
    "array of 2^64-1 items": "9b" + HUGE + "00",
    "map of 2^64-1 pairs": "bb" + HUGE + "0000",
    "indefinite string with 2^32 byte chunk": "5f5a" + "ff" * 4 + "00ff",
    "arrays 100000 deep": nested("81", 100000),
    "indefinite arrays 100000 deep": nested("9f", 100000),
    "maps 100000 deep": nested("a100", 100000),
    "tags 100000 deep": nested("d820", 100000),
    "arrays 300 deep": nested("81", 300),
    "break at the top": "ff",
    "break inside a definite array": "82ff00",
    "indefinite string with a text chunk": "5f6161ff",
    "indefinite string inside itself": "5f5fffff",
    "indefinite string never ended": "5f4161",
    "simple value below 32 in two bytes": "f810",
    "empty input": "",
}
for major in range(8):
    for info in (28, 29, 30):
        HOSTILE[f"major {major} with reserved length {info}"] = f"{major << 5 | info:02x}00"
    for info, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        HOSTILE[f"major {major} head cut short ({width} bytes)"] = f"{major << 5 | info:02x}" + "00" * (width - 1)
for major in (0, 1, 6):
    HOSTILE[f"major {major} indefinite"] = f"{major << 5 | 31:02x}00"

SOFT_BINDING_WRAPPERS = {
    "": "{}",
    "as an unknown key's value": "a1617a{}",  # {"z": ...}
    "as the value of alg": "a163616c67{}",
    "inside blocks": "a166626c6f636b73{}",
}
COSE_WRAPPERS = {
    "": "{}",
    "as the protected header": "d284{}",
    "as an unprotected header value": "d28443a10127a101{}",
    "as the payload": "d28443a10127a0{}",
}


def test_hostile_cbor_fails_fast_and_small():
    cases = []
    for label, body in HOSTILE.items():
        for wrapper, template in SOFT_BINDING_WRAPPERS.items():
            cases.append(("verify_tier", f"{label} {wrapper}", template.format(body)))
        for wrapper, template in COSE_WRAPPERS.items():
            cases.append(("verify", f"{label} {wrapper}", template.format(body)))
    report = run_child(
        f"""
        import json, resource, sys, quelvane, samples
        cases = json.load(sys.stdin)
        under_sanitizer = samples.under_sanitizer()
        public = quelvane.public_key(samples.SECRET_HEX)

        def call(name, data):
            if name == "verify":
                return quelvane.verify(data, public)
            return quelvane.verify_tier("some text", data, False, False)

        for name in ("verify", "verify_tier"):  # first calls set up what lives for the process
            try:
                call(name, "00")
            except Exception:
                pass
        if not under_sanitizer:
            # Room for the interpreter and the inputs, not for gigabytes a declared length asks.
            with open("/proc/self/status") as status:
                vm_kb = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
            limit = (vm_kb << 10) + (256 << 20)
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        messages = []
        for name, label, data in cases:
            try:
                call(name, data)
                messages.append((name, label, "accepted"))
            except Exception as error:
                messages.append((name, label, type(error).__name__ + ": " + str(error)))
        grown_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(json.dumps({{"messages": messages, "grown_kb": grown_kb}}))
        """,
        timeout=120,
        data=cases,
    )
    prefixes = {
        "verify_tier": "ValueError: invalid input: soft-binding CBOR decode: ",
        "verify": "ValueError: invalid input: COSE decode failed: ",
    }
    wrong = [(n, label, m) for n, label, m in report["messages"]
             if not (m.startswith(prefixes[n]) and len(m) > len(prefixes[n]))]
    assert not wrong, wrong[:5]
    assert report["grown_kb"] < 64 << 10, f"peak RSS grew by {report['grown_kb']} kB"


def test_nesting_limits():
    """The readers stop at their nesting limits: the soft-binding reader at 256 levels, the
    COSE reader at 32 levels of header values."""
    # Unknown keys' values may nest up to the limit, not beyond.
    for depth, accepted in ((200, True), (300, False)):
        body = "a4617a" + nested("81", depth) + "63616c676178" + "66626c6f636b7380" + "6370616440"
        outcome = samples.outcome(samples.Call("verify_tier", "nested", dict(
            text="t", assertion_cbor_hex=body, watermark_verified=False, crosscheck_ok=False)))
        assert (outcome == "REVIEW") == accepted, (depth, outcome)
    public = quelvane.public_key(samples.SECRET_HEX)
    for depth, reason in ((20, "watermark content-binding tag"), (40, samples.COSE_DECODE)):
        envelope = "d28443a10127a101" + nested("81", depth) + "40" + "5840" + "00" * 64
        with pytest.raises(ValueError) as error:
            quelvane.verify(envelope, public)
        assert str(error.value).startswith(reason), (depth, str(error.value))


# ---------------------------------------------------------------------------------------------
# Texts full of zero-width characters.

def zero_width_texts():
    rng = random.Random(7)
    texts = {
        "zero-width only": ZERO_WIDTH * 200,
        "alphabet only": "\u200b\u200c\u200d\u2060" * 500,
        "alphabet before the first word": "\u200b" * 1000 + " " + samples.PROSE,
        "alphabet after every word": " ".join(w + "\u200c\u2060" for w in samples.PROSE.split()),
        "runs of four after every word": " ".join(w + "\u200b\u200c\u200d\u2060" for w in samples.PROSE.split()),
        "byte order marks between words": " \ufeff ".join(samples.PROSE.split()),
        "variation selectors as words": " ".join(["\ufe0f"] * 100 + samples.PROSE.split()),
        "zero-width inside words": " ".join(w[:1] + "\u200d" + w[1:] for w in samples.PROSE.split()),
        "every run written twice": re.sub("[\u200b\u200c\u200d\u2060]{4}", lambda run: run.group(0) * 2,
                                          quelvane.embed_watermark(samples.PROSE, "01", KEY_HEX)),
    }
    for i in range(12):
        words = samples.PROSE.split()
        texts[f"random {i}"] = "".join(
            w + "".join(rng.choice(ZERO_WIDTH) for _ in range(rng.randint(0, 9))) + rng.choice([" ", "\n", "\u3000"])
            for w in words[: rng.randint(20, len(words))])
    return texts


ZERO_WIDTH_TEXTS = zero_width_texts()


def strip(text):
    return text.translate(dict.fromkeys(map(ord, ZERO_WIDTH)))


def word_count(text):
    return len(strip(text).split())


@pytest.mark.parametrize("label", list(ZERO_WIDTH_TEXTS))
def test_watermark_on_zero_width_texts(label):
    text = ZERO_WIDTH_TEXTS[label]
    try:
        marked = quelvane.embed_watermark(text, POINTER_HEX, KEY_HEX)
    except ValueError as error:
        too_short = word_count(text) < 48
        assert str(error) == (samples.TOO_SHORT if too_short else samples.CANNOT_CARRY)
        marked = None
    else:
        assert len(marked) == len(text) + 192 and strip(marked) == strip(text)
        assert quelvane.content_hash(marked) == quelvane.content_hash(text)
        assert quelvane.extract_watermark(marked, KEY_HEX) == (POINTER_HEX, True, 0)
    for candidate in filter(None, (text, marked)):
        try:
            pointer, verified, recovered = quelvane.extract_watermark(candidate, KEY_HEX)
        except ValueError as error:
            assert str(error) in (samples.TOO_SHORT, samples.UNRECOVERABLE)
            assert (str(error) == samples.TOO_SHORT) == (word_count(candidate) < 48)
        else:
            assert re.fullmatch("[0-9a-f]{32}", pointer) and 0 <= recovered <= 24
            assert pointer == POINTER_HEX or not verified
