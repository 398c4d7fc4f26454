from hypothesis import given, settings
from hypothesis import strategies as st

from quelvane_host import excerpts


def naive_winnow(keys):
    chosen, last = [], -1
    for start in range(max(len(keys) - excerpts.WINDOW, 0) + 1 if keys else 0):
        window = range(start, min(start + excerpts.WINDOW, len(keys)))
        best = max(window, key=lambda i: (-keys[i], i))
        if best != last:
            chosen.append((keys[best], best))
            last = best
    return chosen


@given(st.lists(st.integers(0, 5), max_size=60))
def test_winnow_keeps_the_rightmost_minimum_of_every_window(keys):
    assert excerpts.winnow(keys) == naive_winnow(keys)


WORD = st.text("abcdefghij", min_size=1, max_size=6)


@settings(max_examples=200)
@given(st.lists(WORD, max_size=40), st.lists(WORD, max_size=40), st.lists(WORD, max_size=40),
       st.lists(WORD, min_size=excerpts.WINDOW + excerpts.SHINGLE_WORDS - 1, max_size=30))
def test_a_shared_run_of_words_always_shares_a_key(before, after, elsewhere, shared):
    published = " ".join(before + shared + after)
    found = " ".join(elsewhere + ["QQ"] + shared + ["ZZ"] + elsewhere)
    assert {k for k, _ in excerpts.index_entries(published)} & {k for k, _ in excerpts.index_entries(found)}


def test_words_fold_case_and_split_scripts_without_spaces():
    words = excerpts.split_words("Ferry\u200b\u200c\u200d\u2060 FERRY ferry, 河川管理局")
    assert len(set(words.hashes[:3])) == 1 and len(words) == 8
    assert (words.starts[1], words.ends[1]) == (10, 15)
