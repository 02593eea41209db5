"""The examples of front/python/README.md, run as written from the source tree
(``orv.open()`` with no criteria takes adapter 0 here, the default board, or
adapter 2, the boundary-scan board, for the examples that use boundary scan:
there are four)."""

import os
import re

import pytest

import orv
from conftest import SERIALS, SOURCE

README = os.path.join(SOURCE, "front", "python", "README.md")


def examples():
    with open(README) as f:
        return re.findall(r"^```python\n(.*?)^```$", f.read(), re.S | re.M)


@pytest.mark.parametrize("code", examples(), ids=lambda code: code.split("\n")[2].strip()[:40])
def test_the_readme_example_runs(monkeypatch, capsys, code):
    opened = orv.open
    serial = SERIALS[2] if re.search(r"\.(boundary|connect_test)\(", code) else SERIALS[0]
    monkeypatch.setattr(orv, "open", lambda **criteria: opened(**(criteria or dict(serial=serial))))
    monkeypatch.chdir(SOURCE)
    # The examples name the installed boards; here they are the source tree's.
    code = code.replace("/usr/share/orv/boards", os.path.join(SOURCE, "sim", "boards"))
    exec(compile(code, README, "exec"), {})
    assert capsys.readouterr().out
