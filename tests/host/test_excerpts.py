import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pytest

from quelvane_host import excerpt_keys, excerpts, shingles

from .texts import FILLER, NOTES


def naive_winnow(keys):
    chosen, last = [], -1
    for start in range(max(len(keys) - shingles.WINDOW, 0) + 1 if keys else 0):
        window = range(start, min(start + shingles.WINDOW, len(keys)))
        best = max(window, key=lambda i: (-keys[i], i))
        if best != last:
            chosen.append((keys[best], best))
            last = best
    return chosen


@given(st.lists(st.integers(0, 5), max_size=60))
def test_winnow_keeps_the_rightmost_minimum_of_every_window(keys):
    assert shingles.winnow(keys) == naive_winnow(keys)


# Words of every script, digits, punctuation, spaces and the zero-width characters of a watermark;
# few distinct words, so that shingles repeat and windows hold equal keys.
SCRIPT_TEXT = st.lists(st.one_of(st.sampled_from(["river", "Fluss", "река", "河川", "かわ", "강", "نهر", "नदी",
                                                  "ποταμός", "3.5", "\u200b\u200d", ". ", "\n\n", " "]),
                                 st.text(max_size=4)), max_size=120).map(" ".join)


@settings(max_examples=300)
@given(SCRIPT_TEXT)
def test_array_keys_are_the_plain_keys(text):
    # Registries hold keys made either way: the array path must choose exactly the same ones.
    hashes = excerpts.word_hashes(text)
    words = excerpts.split_words(text)
    # The spans found later, for confirming, are those of the words hashed first (cut from their
    # text: ICU's words depend on the characters around them).
    assert excerpts._hashes([text[s:e] for s, e in zip(words.starts, words.ends)]) == hashes
    keys = shingles.shingle_keys(hashes)
    assert excerpt_keys.all_shingle_keys(hashes) == keys == words.shingles
    assert excerpt_keys.index_entries(hashes) == shingles.winnow(keys) == excerpts.index_entries(text)


WORD = st.text("abcdefghij", min_size=1, max_size=6)


@settings(max_examples=200)
@given(st.lists(WORD, max_size=40), st.lists(WORD, max_size=40), st.lists(WORD, max_size=40),
       st.lists(WORD, min_size=shingles.WINDOW + shingles.SHINGLE_WORDS - 1, max_size=30))
def test_a_shared_run_of_words_always_shares_a_key(before, after, elsewhere, shared):
    published = " ".join(before + shared + after)
    found = " ".join(elsewhere + ["QQ"] + shared + ["ZZ"] + elsewhere)
    assert {k for k, _ in excerpts.index_entries(published)} & {k for k, _ in excerpts.index_entries(found)}


def test_words_fold_case_and_split_scripts_without_spaces():
    words = excerpts.split_words("Ferry\u200b\u200c\u200d\u2060 FERRY ferry, 河川管理局")
    assert len(set(words.hashes[:3])) == 1 and len(words) == 5
    assert (words.starts[1], words.ends[1]) == (10, 15)


# Common words, which ICU's dictionaries have segmented alike for years; Latin, digits and
# punctuation inside such text, and Korean's spaces, keep splitting as they always did.
@pytest.mark.parametrize("text, expected", [
    ("我们今天去北京。", ["我们", "今天", "去", "北京"]),
    ("我们今天用Linux 5.10版本。", ["我们", "今天", "用", "Linux", "5", "10", "版本"]),
    ("我们的open source项目", ["我们", "的", "open", "source", "项目"]),
    ("私は東京に行きます。", ["私", "は", "東京", "に", "行き", "ます"]),
    ("日本語のテキストです", ["日本語", "の", "テキスト", "です"]),
    ("ジョン・スミスさん", ["ジョン", "スミス", "さん"]),
    ("สวัสดีครับ คุณ Smith", ["สวัสดี", "ครับ", "คุณ", "Smith"]),
    ("ພາສາລາວ", ["ພາສາ", "ລາວ"]),
    ("한국어는 띄어쓰기를 합니다.", ["한국어는", "띄어쓰기를", "합니다"]),
])
def test_scripts_without_spaces_are_cut_into_dictionary_words(text, expected):
    words = excerpts.split_words(text)
    assert [text[s:e] for s, e in zip(words.starts, words.ends)] == expected
    assert words.hashes == excerpts.split_words(" ".join(expected)).hashes


def _template_page(kind, noun, extra):
    return (f"This subtype of BaseRecord stands for a stored {kind} record.\n\n"
            f"This instance of RecordKind stands for the stored {kind} kind. This is the same kind as "
            f"{noun} in the query layer.\n\n"
            f"Return true if its argument is a {noun.title()}Record or a subtype of {noun.title()}Record. "
            f"This check never fails.\n\n{extra}"
            f"Return a new {noun.title()}Record made from v, or NULL on failure.")


def _hits(found, published):
    keys = {}
    for key, at in excerpts.index_entries(published):
        keys.setdefault(key, []).append(at)
    return [(f, p) for key, f in shingles.winnow(shingles.shingle_keys(found.hashes)) for p in keys.get(key, ())]


def test_pages_from_one_template_are_not_a_copy_of_each_other():
    # Two pages written from one template share only short phrases, joined across sentence
    # ends and paragraph breaks; the same page quoted within other text is still found.
    integer = _template_page("whole number", "count", "")
    decimal = _template_page("decimal fraction", "amount",
                             "Make a new AmountRecord from the text value in s, or NULL on failure.\n\n")
    integer_words = excerpts.split_words(integer)
    assert excerpts.confirm(excerpts.split_words(decimal), integer_words,
                            _hits(excerpts.split_words(decimal), integer)) == []
    quoted = f"Some words before it.\n\n{integer}\n\nSome words after it."
    [passage] = excerpts.confirm(excerpts.split_words(quoted), integer_words,
                                 _hits(excerpts.split_words(quoted), integer))
    assert quoted[passage.found_start:passage.found_end] in integer


def _pasted_passage(words):
    # The release notes from "at a fixed interval." on: two sentence ends fall within 20 words.
    notes = excerpts.split_words(NOTES)
    first = NOTES.index("at a fixed interval.")
    start = notes.starts.index(first)
    passage = NOTES[first:notes.ends[start + words - 1]]
    half = len(FILLER) // 2
    return passage, f"{FILLER[:half]} {passage} {FILLER[half:]}"


@pytest.mark.parametrize("words", [20, 30])
def test_a_short_passage_across_sentence_ends_is_confirmed(words):
    passage, found = _pasted_passage(words)
    assert passage.count(". ") == 2
    found_words = excerpts.split_words(found)
    [confirmed] = excerpts.confirm(found_words, excerpts.split_words(NOTES), _hits(found_words, NOTES))
    assert found[confirmed.found_start:confirmed.found_end] == passage
    assert NOTES[confirmed.published_start:confirmed.published_end] == passage


@pytest.mark.parametrize("holders, confirmed", [(1, True), (excerpts.TEMPLATE_HOLDERS, True),
                                                (excerpts.TEMPLATE_HOLDERS + 1, False)])
def test_a_passage_whose_keys_many_publications_hold_is_a_template(holders, confirmed):
    # Boilerplate every page of a genre carries (a licence, a footer) is stored for each of them:
    # it is the template's, and shows no page was copied.
    _, found = _pasted_passage(30)
    found_words = excerpts.split_words(found)
    hits = _hits(found_words, NOTES)
    held = {found_words.shingles[f]: holders for f, _ in hits}
    passages = excerpts.confirm(found_words, excerpts.split_words(NOTES), hits, held)
    assert bool(passages) == confirmed
