"""The examples of python/README.md, run on the default board as written
(``orv.open()`` with no criteria takes adapter 0 here: there are two)."""

import os
import re

import pytest

import orv
from conftest import SERIALS

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python", "README.md")


def examples():
    with open(README) as f:
        return re.findall(r"^```python\n(.*?)^```$", f.read(), re.S | re.M)


@pytest.mark.parametrize("code", examples(), ids=lambda code: code.split("\n")[2].strip()[:40])
def test_the_readme_example_runs(monkeypatch, capsys, code):
    opened = orv.open
    monkeypatch.setattr(orv, "open", lambda **criteria: opened(**(criteria or dict(serial=SERIALS[0]))))
    exec(compile(code, README, "exec"), {})
    assert capsys.readouterr().out
