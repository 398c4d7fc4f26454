"""The copies bench/robustness.py makes, in each language: an excerpt of n words is n words as
the report counts them, pasted it stands whole inside unrelated text five times its length, and
the copies that keep the words (watermark stripped, HTML page) keep them."""
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import robustness  # noqa: E402

from quelvane_host.excerpts import split_words  # noqa: E402
from quelvane_host.formats import visible_text  # noqa: E402

PROSE = {
    "english": "The archive keeps every release of the package. Older releases stay available for a year, "
               "after which they move to the long-term store. A mirror copies the archive every six hours and "
               "signs its index, so that clients can tell a stale mirror from a broken one.",
    "german": "Das Archiv bewahrt jede Veröffentlichung des Pakets auf. Ältere Versionen bleiben ein Jahr lang "
              "verfügbar, danach wandern sie in den Langzeitspeicher. Ein Spiegel kopiert das Archiv alle sechs "
              "Stunden und signiert seinen Index, damit Programme einen veralteten Spiegel erkennen.",
    "russian": "Архив хранит каждый выпуск пакета. Старые выпуски остаются доступными в течение года, после "
               "чего переносятся в долговременное хранилище. Зеркало копирует архив каждые шесть часов и "
               "подписывает свой индекс, чтобы клиенты могли отличить устаревшее зеркало от сломанного.",
    "chinese": "归档保存软件包的每一个发行版本。旧版本在一年内仍然可以获取，之后会被移到长期存储中。"
               "镜像每六小时复制一次归档并签署其索引，这样客户端就能区分过期的镜像和损坏的镜像。",
    "japanese": "アーカイブはパッケージのすべてのリリースを保管します。古いリリースは一年間利用でき、その後は長期"
                "保存領域に移されます。ミラーは六時間ごとにアーカイブを複製して索引に署名するので、"
                "クライアントは古いミラーと壊れたミラーを見分けられます。",
}


def words(text, language):
    if language.spaced:
        return text.split()
    found = split_words(text)
    return [text[a:b] for a, b in zip(found.starts, found.ends)]


def context(language, held_out):
    return robustness.Context(language, [], Path("unused.db"), None, [], [], [], held_out, [], [])


@pytest.mark.parametrize("name", sorted(PROSE))
def test_excerpt_and_paste_count_words_as_the_report_does(name):
    language = robustness.LANGUAGES[name]
    text = PROSE[name]
    rng = random.Random(name)
    other = [[p] for p in PROSE.values() if p != text]
    for size in (20, 30):
        piece = robustness.excerpt(text, size, language, rng)
        assert piece in text and len(words(piece, language)) == language.count(piece) == size
        pasted = robustness.paste(piece, context(language, other), rng)
        assert piece in pasted.split("\n\n")
        around = len(words(pasted, language)) - size
        # The text around may run a word long or short where a word of the host's splitting
        # straddles the cut, never more.
        assert abs(around - robustness.PASTE_FACTOR * size) <= 1


@pytest.mark.parametrize("name", sorted(PROSE))
def test_copies_that_keep_the_words_keep_them(registry, name):
    language = robustness.LANGUAGES[name]
    original = PROSE[name] + "\n\n" + PROSE[name][::-1]
    published = registry.publish(original).published
    # The watermark's runs stand before the spaces between words: text without spaces may carry none.
    assert published != original or not language.spaced
    assert robustness.strip_watermark(published) == original
    page = robustness.as_html(original)
    # The page's navigation adds its one word ("Home") before the text.
    assert words(visible_text(page, "html"), language) == ["Home", *words(original, language)]
    shuffled = robustness.shuffle_paragraphs(original, random.Random(1))
    assert sorted(shuffled.split("\n\n")) == sorted(original.split("\n\n")) and shuffled != original
