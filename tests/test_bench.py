"""The benchmarks run from any checkout or install: the bundled text sample, and a named corpus."""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from support import CFFI_MISSING, HAVE_CFFI
from tav.bench import SAMPLE_CORPUS, TEXT_DIRS, corpus_texts, find_corpus

SCRIPTS = ("Arabic", "Chinese", "Emoji", "Hebrew", "Hindi", "Japanese", "Korean", "Latin", "Russian")


def test_the_bundled_sample_has_every_script_valid_and_licensed() -> None:
    texts = dict(corpus_texts(SAMPLE_CORPUS))
    assert {f"lipsum/{s}-Lipsum.utf8.txt" for s in SCRIPTS} <= set(texts)
    assert {"wikipedia_mars/french.utf8.txt", "wikipedia_mars/russian.utf8.txt"} <= set(texts)
    assert any(name.startswith("ascii/") for name in texts)
    for name, data in texts.items():
        data.decode("utf-8")  # every text is valid UTF-8, whole
        assert 4096 <= len(data) <= 8192, name
    licences = {p.name for p in SAMPLE_CORPUS.glob("LICENSE-*.txt")}
    assert licences == {"LICENSE-lipsum.txt", "LICENSE-wikipedia.txt", "LICENSE-python-docs.txt"}
    assert set(TEXT_DIRS) == {p.name for p in SAMPLE_CORPUS.iterdir() if p.is_dir()}


def test_find_corpus_takes_the_named_folder_and_refuses_a_missing_one(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.delenv("TAV_CORPUS", raising=False)
    assert find_corpus() == SAMPLE_CORPUS
    assert find_corpus(str(tmp_path)) == tmp_path.resolve()
    monkeypatch.setenv("TAV_CORPUS", str(tmp_path))
    assert find_corpus() == tmp_path.resolve()
    with pytest.raises(FileNotFoundError, match="no-such-corpus"):
        find_corpus(str(tmp_path / "no-such-corpus"))


@pytest.mark.skipif(not HAVE_CFFI, reason=f"the validation benchmark times the cffi binding's routines; {CFFI_MISSING}")
def test_utf8_benchmark_runs_away_from_any_checkout(tmp_path: Path) -> None:
    # A user's checkout has no shared corpus beside it: the sample serves.
    env = {k: v for k, v in os.environ.items() if k != "TAV_CORPUS"}
    env["PYTHONPATH"] = str(Path(__file__).resolve().parents[1])
    proc = subprocess.run(
        [sys.executable, "-m", "tav.bench.utf8", "--quick"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert f"corpus: {SAMPLE_CORPUS}" in proc.stdout
    assert "lipsum/Hindi-Lipsum.utf8.txt" in proc.stdout
    missing = subprocess.run(
        [sys.executable, "-m", "tav.bench.utf8", "--quick", "--corpus", str(tmp_path / "absent")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60,
    )
    assert missing.returncode == 2 and "corpus folder not found" in missing.stderr


def test_decode_benchmark_runs_and_checks_every_routine(tmp_path: Path) -> None:
    env = {k: v for k, v in os.environ.items() if k != "TAV_CORPUS"}
    env["PYTHONPATH"] = str(Path(__file__).resolve().parents[1])
    proc = subprocess.run(
        [sys.executable, "-m", "tav.bench.decode", "--quick", "--plot", str(tmp_path / "decode.png")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]  # 1 when a routine's str differs from bytes.decode's
    for table in ("Whole texts", "Utf8Decoder in 4 KiB chunks", "Utf8Decoder in 64 KiB chunks", "Short messages",
                  "Masked payloads"):
        assert table in proc.stdout
    assert "Russian-Lipsum" in proc.stdout and "latin-1 (french)" in proc.stdout
    assert (tmp_path / "decode.png").is_file() or "--plot skipped" in proc.stdout
