"""The module surface: import, the function table, argument binding and conversion."""
import inspect
import subprocess
import sys
import textwrap

import pytest

import quelvane
from conftest import PROSE, SECRET_HEX

# name -> (parameters, description of the docstring)
TABLE = {
    "text_fingerprint": (["text"], "`com.lanternquill.text-fingerprint.1` — 256-bit surface SimHash, hex."),
    "text_structure": (["text"], "`com.lanternquill.text-structure.1` — 256-bit structural SimHash, hex."),
    "minhash_signature": (["text"], "`com.lanternquill.text-minhash.1` — the 128 signature values."),
    "minhash_bands": (["text"], "The 32 LSH band hashes — index keys for discovery."),
    "hamming_hex": (["a", "b"], "Hamming distance in bits between two 256-bit hex fingerprints."),
    "content_hash": (["text"], "SHA-256 of the canonical stream (the blind-recoverable content hash), hex."),
    "embed_watermark": (
        ["text", "pointer_hex", "key_hex"],
        "Embed a `zwc-watermark.2` carrying `pointer_hex`, bound to the content by\n"
        "`key_hex`. Returns the watermarked text.",
    ),
    "extract_watermark": (
        ["text", "key_hex"],
        "Blind-extract and verify a `zwc-watermark.2`.\nReturns `(pointer_hex, tag_verified, shards_recovered)`.",
    ),
    "public_key": (["secret_hex"], "Derive the Ed25519 public key (hex) from a 32-byte secret key (hex)."),
    "sign": (["payload", "secret_hex"], "Sign a payload as tagged COSE_Sign1 / EdDSA. Returns the envelope as hex."),
    "verify": (
        ["cose_hex", "public_hex"],
        "Verify a hex COSE_Sign1 envelope against a hex public key; returns the\n"
        "payload string on success, raises on failure.",
    ),
    "cross_check": (
        ["key_hex", "repo_id", "content_hash_hex"],
        "Anti-transfer cross-check tag (hex): `HMAC(key, repo_id ‖ content_hash)`.",
    ),
    "soft_binding_fingerprint": (
        ["text"],
        "Build the `c2pa.soft-binding` assertion (id 41, surface fingerprint) as CBOR,\n"
        "hex-encoded. Sign the result with [`sign`]; includes per-window blocks.",
    ),
    "soft_binding_structure": (["text"], "Build the `c2pa.soft-binding` assertion (id 43, structural) as CBOR hex."),
    "soft_binding_minhash": (["text"], "Build the `c2pa.soft-binding` assertion (id 44, MinHash) as CBOR hex."),
    "soft_binding_watermark": (
        ["pointer_hex"],
        "Build the `c2pa.soft-binding` assertion (id 42, ZWC watermark) for a routing\n`pointer_hex`, as CBOR hex.",
    ),
    "verify_tier": (
        ["text", "assertion_cbor_hex", "watermark_verified", "crosscheck_ok"],
        "Recompute the fingerprint from `text`, compare against a candidate\n"
        '`c2pa.soft-binding` assertion (hex CBOR), and classify. Returns\n`"BOUND"`, `"LIKELY"`, or `"REVIEW"`.',
    ),
}
NAMES = list(TABLE)
FLAGS = {"watermark_verified", "crosscheck_ok"}


def valid_args(name):
    """Arguments with which `name` succeeds, by parameter name."""
    text = PROSE
    pub = quelvane.public_key(SECRET_HEX)
    args = {
        "text_fingerprint": lambda: {"text": text},
        "text_structure": lambda: {"text": text},
        "minhash_signature": lambda: {"text": text},
        "minhash_bands": lambda: {"text": text},
        "hamming_hex": lambda: {"a": "0" * 64, "b": "f" * 64},
        "content_hash": lambda: {"text": text},
        "embed_watermark": lambda: {"text": text, "pointer_hex": "00ff", "key_hex": "6b"},
        "extract_watermark": lambda: {"text": quelvane.embed_watermark(text, "00ff", "6b"), "key_hex": "6b"},
        "public_key": lambda: {"secret_hex": SECRET_HEX},
        "sign": lambda: {"payload": "p", "secret_hex": SECRET_HEX},
        "verify": lambda: {"cose_hex": quelvane.sign("p", SECRET_HEX), "public_hex": pub},
        "cross_check": lambda: {"key_hex": "6b", "repo_id": "r", "content_hash_hex": "00"},
        "soft_binding_fingerprint": lambda: {"text": text},
        "soft_binding_structure": lambda: {"text": text},
        "soft_binding_minhash": lambda: {"text": text},
        "soft_binding_watermark": lambda: {"pointer_hex": "00ff"},
        "verify_tier": lambda: {
            "text": text,
            "assertion_cbor_hex": quelvane.soft_binding_fingerprint(text),
            "watermark_verified": True,
            "crosscheck_ok": False,
        },
    }
    return args[name]()


def test_module_attributes():
    assert quelvane.__name__ == "quelvane"
    assert quelvane.__doc__ == "LanternQuill C2PA text soft-binding family (native bindings)."
    assert quelvane.__all__ == ["__doc__"] + NAMES
    assert quelvane.__all__[:2] == ["__doc__", "text_fingerprint"]
    assert len(NAMES) == 17


def test_import_returns_cached_module():
    import importlib

    del sys.modules["quelvane"]
    again = importlib.import_module("quelvane")
    sys.modules["quelvane"] = quelvane
    assert again is quelvane


def test_sub_interpreter_import_fails():
    code = textwrap.dedent(
        """
        import quelvane
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            raise SystemExit(77)
        try:
            # 3.12 makes isolated interpreters by default, which refuse every single-phase module
            # before our own check runs; a legacy one reaches it.
            interp = interpreters.create(isolated=False)
        except TypeError:
            interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import quelvane")
        except Exception as exc:
            print(type(exc).__name__, exc)
        else:
            print("imported")
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if result.returncode == 77:
        pytest.skip("this interpreter has no sub-interpreter module")
    assert "ImportError" in result.stdout and "sub-interpreters" in result.stdout


@pytest.mark.parametrize("name", NAMES)
def test_function_objects(name):
    params, description = TABLE[name]
    function = getattr(quelvane, name)
    assert function.__name__ == name
    assert function.__module__ == "quelvane"
    assert function.__self__ is quelvane
    assert function.__doc__ == description
    assert list(inspect.signature(function).parameters) == params
    kinds = {p.kind for p in inspect.signature(function).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_docstring_examples():
    assert quelvane.content_hash.__text_signature__ == "(text)"
    assert quelvane.verify_tier.__text_signature__ == "(text, assertion_cbor_hex, watermark_verified, crosscheck_ok)"
    assert quelvane.sign.__doc__ == "Sign a payload as tagged COSE_Sign1 / EdDSA. Returns the envelope as hex."


def missing_message(name, missing):
    quoted = [f"'{p}'" for p in missing]
    if len(quoted) == 1:
        listed = quoted[0]
    elif len(quoted) == 2:
        listed = " and ".join(quoted)
    else:
        listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    plural = "argument" if len(missing) == 1 else "arguments"
    return f"{name}() missing {len(missing)} required positional {plural}: {listed}"


@pytest.mark.parametrize("name", NAMES)
def test_binding_errors(name):
    params, _ = TABLE[name]
    function = getattr(quelvane, name)
    n = len(params)
    with pytest.raises(TypeError) as e:
        function()
    assert str(e.value) == missing_message(name, params)
    with pytest.raises(TypeError) as e:
        function(*(["x"] * (n + 1)))
    assert str(e.value) == f"{name}() takes {n} positional arguments but {n + 1} were given"
    with pytest.raises(TypeError) as e:
        function("x", **{params[0]: "y"})
    assert str(e.value) == f"{name}() got multiple values for argument '{params[0]}'"
    with pytest.raises(TypeError) as e:
        function(nope="x")
    assert str(e.value) == f"{name}() got an unexpected keyword argument 'nope'"
    if n > 1:
        with pytest.raises(TypeError) as e:
            function(**{params[0]: "x"})
        assert str(e.value) == missing_message(name, params[1:])


def test_binding_error_examples():
    with pytest.raises(TypeError, match=r"^content_hash\(\) takes 1 positional arguments but 2 were given$"):
        quelvane.content_hash("a", "b")
    with pytest.raises(TypeError) as e:
        quelvane.cross_check()
    assert str(e.value) == (
        "cross_check() missing 3 required positional arguments: 'key_hex', 'repo_id', and 'content_hash_hex'"
    )


@pytest.mark.parametrize("name", NAMES)
def test_keywords_in_any_order(name):
    kwargs = valid_args(name)
    positional = getattr(quelvane, name)(*kwargs.values())
    reversed_kwargs = dict(reversed(list(kwargs.items())))
    assert getattr(quelvane, name)(**reversed_kwargs) == positional


class StrSubclass(str):
    pass


@pytest.mark.parametrize("name", NAMES)
def test_argument_types(name):
    params, _ = TABLE[name]
    function = getattr(quelvane, name)
    good = valid_args(name)
    for param in params:
        for bad in ([b"abc", 1, None, 1.5] if param not in FLAGS else ["x", 0, 1, None]):
            args = dict(good, **{param: bad})
            target = "PyBool" if param in FLAGS else "PyString"
            with pytest.raises(TypeError) as e:
                function(**args)
            assert str(e.value) == f"argument '{param}': '{type(bad).__qualname__}' object cannot be converted to '{target}'"
        if param not in FLAGS:
            args = dict(good, **{param: StrSubclass(good[param])})
            assert function(**args) == function(**good)
            with pytest.raises(UnicodeEncodeError):
                function(**dict(good, **{param: "\ud800"}))


def test_types_are_checked_before_hex():
    with pytest.raises(TypeError) as e:
        quelvane.verify_tier("t", "zz", 1, True)
    assert str(e.value) == "argument 'watermark_verified': 'int' object cannot be converted to 'PyBool'"


# (function, parameter, label) for every hex parameter; the key rule's label is "hex".
HEX_PARAMS = [
    ("embed_watermark", "key_hex", "key"),
    ("embed_watermark", "pointer_hex", "pointer"),
    ("extract_watermark", "key_hex", "key"),
    ("cross_check", "key_hex", "key"),
    ("cross_check", "content_hash_hex", "content hash"),
    ("soft_binding_watermark", "pointer_hex", "pointer"),
    ("verify_tier", "assertion_cbor_hex", "assertion"),
    ("verify", "cose_hex", "cose"),
    ("verify", "public_hex", "hex"),
    ("sign", "secret_hex", "hex"),
    ("public_key", "secret_hex", "hex"),
]


@pytest.mark.parametrize("name,param,label", HEX_PARAMS)
def test_hex_labels(name, param, label):
    good = valid_args(name)
    function = getattr(quelvane, name)
    with pytest.raises(ValueError) as e:
        function(**dict(good, **{param: "abc"}))
    assert str(e.value) == f"invalid {label}: Odd number of digits"
    with pytest.raises(ValueError) as e:
        function(**dict(good, **{param: "é"}))
    assert str(e.value) == f"invalid {label}: Invalid character 'Ã' at position 0"


# The character after "0" in "0?00" and how the reason shows the first bad byte.
ESCAPES = [
    ("z", "'z'"),
    ("\t", "'\\t'"),
    ("\r", "'\\r'"),
    ("\n", "'\\n'"),
    ("'", "'\\''"),
    ("\\", "'\\\\'"),
    ("\x00", "'\\0'"),
    ('"', "'\"'"),
    ("\x01", "'\\u{1}'"),
    ("\x1f", "'\\u{1f}'"),
    ("\x7f", "'\\u{7f}'"),
    (" ", "' '"),
    ("é", "'Ã'"),
    ("\u00a0", "'Â'"),
    ("\u3000", "'ã'"),
    ("😀", "'ð'"),
]


@pytest.mark.parametrize("char,shown", ESCAPES)
def test_hex_reason_escapes(char, shown):
    text = "0" + char + "00"
    if len(text.encode()) % 2:
        text += "0"
    with pytest.raises(ValueError) as e:
        quelvane.cross_check(text, "r", "")
    assert str(e.value) == f"invalid key: Invalid character {shown} at position 1"


def test_hex_trimming_and_case():
    plain = quelvane.cross_check("00ff", "r", "ab")
    assert quelvane.cross_check(" \t\n00FF\u3000\u2028", "r", "\u00a0AB ") == plain
    assert quelvane.cross_check("", "r", "") == quelvane.cross_check("  ", "r", "\n")
    # White space inside the digits is not trimmed.
    with pytest.raises(ValueError, match="^invalid key: Invalid character ' ' at position 2$"):
        quelvane.cross_check("00 fff ", "r", "")


@pytest.mark.parametrize(
    "secret,message",
    [
        ("0" * 63, "invalid hex: Odd number of digits"),
        ("0" * 62, "expected a 32-byte (64 hex char) key"),
        ("zz" + "0" * 62, "invalid hex: Invalid character 'z' at position 0"),
        ("", "expected a 32-byte (64 hex char) key"),
        ("0" * 66, "expected a 32-byte (64 hex char) key"),
    ],
)
def test_key_rule(secret, message):
    with pytest.raises(ValueError) as e:
        quelvane.public_key(secret)
    assert str(e.value) == message


def test_key_rule_accepts_case_and_padding():
    expected = quelvane.public_key(SECRET_HEX)
    assert quelvane.public_key(SECRET_HEX.upper()) == expected
    assert quelvane.public_key(" \n" + SECRET_HEX + "\n ") == expected
    assert expected == expected.lower()


@pytest.mark.parametrize(
    "name,args,message",
    [
        ("verify", ("zz", "0"), "invalid hex: Odd number of digits"),
        ("embed_watermark", (PROSE, "zz", "0"), "invalid key: Odd number of digits"),
        ("cross_check", ("0", "r", "zz"), "invalid key: Odd number of digits"),
        ("hamming_hex", ("zz", "zz"), "bad hex a"),
    ],
)
def test_decoding_order(name, args, message):
    with pytest.raises(ValueError) as e:
        getattr(quelvane, name)(*args)
    assert str(e.value) == message


def test_numpy_bool_flags():
    np = pytest.importorskip("numpy")
    args = valid_args("verify_tier")
    expected = quelvane.verify_tier(**args)
    assert quelvane.verify_tier(**dict(args, watermark_verified=np.bool_(True), crosscheck_ok=np.bool_(False))) == expected
    with pytest.raises(TypeError, match="^argument 'crosscheck_ok': 'int64' object cannot be converted to 'PyBool'$"):
        quelvane.verify_tier(**dict(args, crosscheck_ok=np.int64(1)))


def test_flag_type_error_from_conversion_is_prefixed():
    """A TypeError raised while converting a flag is re-raised with the parameter named."""
    # A class that claims to be NumPy's bool but has no __bool__ of its own... except object's
    # lookup finds none, so the conversion raises TypeError, which is prefixed.
    fake = type("bool_", (), {"__module__": "numpy"})()
    with pytest.raises(TypeError) as e:
        quelvane.verify_tier(**dict(valid_args("verify_tier"), crosscheck_ok=fake))
    assert str(e.value) == "argument 'crosscheck_ok': object of type 'bool_' does not define a '__bool__' conversion"
