"""The README's examples run as written and print what their comments say."""

import contextlib
import gc
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.mark.parametrize("block", BLOCKS, ids=["block%d" % i for i in range(len(BLOCKS))])
def test_readme_example(block, default_interp):
    expected = [line.split("  # ", 1)[1].strip() for line in block.splitlines()
                if line.lstrip().startswith("print(") and "  # " in line]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(block, str(README), "exec"), {"__name__": "readme"})
    printed = out.getvalue().splitlines()
    gc.collect()  # let handles made by the example go while their interpreter lives
    assert printed == expected


def test_readme_has_examples():
    assert BLOCKS
