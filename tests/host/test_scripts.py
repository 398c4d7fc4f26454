"""Texts written without spaces between words: found when quoted, never confused with one another,
and refused, saying what to install, where ICU is missing."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quelvane_host import excerpts
from quelvane_host.extras import install_line

from .texts import ARTICLE, ZH_FERRY, ZH_GARDEN, ZH_LIBRARY

HOST = Path(__file__).resolve().parents[2] / "host"


def test_a_chinese_passage_quoted_in_other_chinese_text_is_found(registry):
    ferry = registry.publish(ZH_FERRY)
    registry.publish(ZH_GARDEN)
    passage = ZH_FERRY[ZH_FERRY.index("王船长说"):ZH_FERRY.index("去年秋天")].strip()
    before, after = ZH_LIBRARY.split("\n\n", 1)
    [match] = registry.identify(f"{before}\n\n{passage}\n\n{after}", weak=True)
    assert (match.pointer, match.verdict) == (ferry.pointer, "match")
    [found] = match.evidence.passages
    assert found.publication_text.strip() in passage


def test_unrelated_chinese_texts_are_not_even_weak(registry):
    registry.publish(ZH_FERRY)
    registry.publish(ZH_GARDEN)
    assert registry.identify(ZH_LIBRARY, weak=True) == []


# Sentences of unrelated manual pages sharing stock phrases of a few characters, which every
# five-character run used to find in common.
@pytest.mark.parametrize("first, second", [
    ("如果没有指定这个选项，程序会从标准输入读取数据，并把结果写到标准输出。",
     "如果没有指定用户名，命令会使用当前登录的账户，并把日志写到系统目录里。"),
    ("详细信息请参阅相关的手册页，这里只介绍最常用的几个参数。",
     "详细信息请参阅安装指南的第三章，那里列出了所有支持的硬件。"),
    ("設定ファイルを読み込むときにエラーが発生しました。", "画像ファイルを保存するときに名前を変更できます。"),
], ids=["if not given", "see also", "file"])
def test_unrelated_sentences_sharing_stock_phrases_share_no_shingle(first, second):
    assert not set(excerpts.split_words(first).shingles) & set(excerpts.split_words(second).shingles)


def test_without_icu_such_texts_are_refused_saying_what_to_install(tmp_path):
    (tmp_path / "zh.txt").write_text(ZH_FERRY, encoding="utf-8")
    (tmp_path / "en.txt").write_text(ARTICLE, encoding="utf-8")
    # PyICU hidden from a real command line, as on a machine where it was never installed.
    hidden = "import sys; sys.modules['icu'] = None; from quelvane_host.cli import main; main()"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(HOST), os.environ.get("PYTHONPATH")])))
    run = lambda *args: subprocess.run([sys.executable, "-c", hidden, *args], cwd=tmp_path, env=env,
                                       capture_output=True, text=True, timeout=120)
    assert run("init").returncode == 0
    assert run("publish", "en.txt").returncode == 0
    for command in ("publish", "identify"):
        refused = run(command, "zh.txt")
        assert refused.returncode != 0 and "Traceback" not in refused.stderr
        assert f"needs quelvane[icu] (missing: PyICU): {install_line('icu')}" in refused.stderr
        assert "apt-get install libicu-dev" in refused.stderr
    assert not (tmp_path / "zh.published.txt").exists()
    listed = run("list")
    assert listed.returncode == 0 and listed.stdout.count("\n") == 1, listed.stdout
