"""The documentation tells the truth: every Python example in README.md,
CONTRIBUTING.md and docs/ runs, prints what the page says it prints, and every
link and file the pages name exists.

The conventions (also in CONTRIBUTING.md):

- a fenced ```python block is a complete program, run in a fresh interpreter
  from the checkout's root with warnings as errors; a block whose first line
  is ``# not run`` is only compiled;
- ``# prints: TEXT`` at the end of a top-level statement, or on the line
  after it: what that statement prints;
- a fenced ```output block right after a python block: what the whole block
  prints (standard output and error together);
- in both, runs of white space compare equal and ``...`` stands for any text;
- a block that reads ``../shared/data/...`` is skipped when the file is absent.
"""
import io
import json
import re
import subprocess
import sys
import tokenize
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
RUNNER = Path(__file__).with_name("doc_block.py")
PAGES = sorted([ROOT / "README.md", ROOT / "CONTRIBUTING.md", *(ROOT / "docs").glob("*.md")])
DATA = re.compile(r"""["'](\.\./shared/data/[^"']+)["']""")


@dataclass
class Block:
    page: str    # relative to the checkout
    line: int    # line of the page where the code starts
    lang: str
    code: str
    output: "Block | None" = None  # the output block that follows

    @property
    def where(self):
        return f"{self.page}:{self.line}"


def fenced_blocks(path, root=ROOT):
    """The fenced code blocks of a Markdown page, output blocks tied to the python block before."""
    page = str(path.relative_to(root))
    blocks, current = [], None
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if current is None:
            if line.startswith("```"):
                current = Block(page, number + 1, line[3:].strip(), "")
        elif line.startswith("```"):
            blocks.append(current)
            current = None
        else:
            current.code += line + "\n"
    assert current is None, f"{page}: a code block is not closed"
    tied = []
    for block in blocks:
        if block.lang == "output":
            assert tied and tied[-1].lang == "python" and tied[-1].output is None, \
                f"{block.where}: an output block must follow a python block"
            tied[-1].output = block
        else:
            tied.append(block)
    return tied


def expected_prints(block):
    """`# prints:` comments by the line of the statement they speak of; that line must
    end a top-level statement (checked against the runner's records)."""
    out = {}
    for tok in tokenize.generate_tokens(io.StringIO(block.code).readline):
        if tok.type == tokenize.COMMENT and tok.string.startswith("# prints:"):
            # on a line of its own, it speaks of the statement just above
            line = tok.start[0] - (1 if tok.line.lstrip().startswith("#") else 0)
            out[block.line + line - 1] = tok.string[len("# prints:"):].strip()
    return out


def matches(expected, actual):
    """White space runs compare equal; `...` stands for any text."""
    norm = lambda s: " ".join(s.split())
    pattern = ".*?".join(re.escape(part) for part in norm(expected).split("..."))
    return re.fullmatch(pattern, norm(actual), re.DOTALL) is not None


def run(block, timeout=120):
    """Runs the block in a fresh interpreter; returns the records of its statements."""
    out = subprocess.run([sys.executable, "-W", "error", str(RUNNER), block.page, str(block.line)],
                         input=block.code, capture_output=True, text=True, cwd=ROOT,
                         timeout=timeout)
    assert out.returncode == 0, f"{block.where} failed:\n{out.stderr}"
    return json.loads(out.stdout)


def check(block, records):
    """The mismatches between what the page says and what the block printed."""
    faults = []
    ends = {end: text for _, end, text in records}
    for line, want in expected_prints(block).items():
        if line not in ends:
            faults.append(f"{block.page}:{line}: '# prints:' is not at the end of a top-level statement")
        elif not matches(want, ends[line]):
            faults.append(f"{block.page}:{line}: page says {want!r}, it printed {ends[line]!r}")
    if block.output is not None:
        printed = "".join(text for _, _, text in records)
        if not matches(block.output.code, printed):
            faults.append(f"{block.output.where}: the output block differs from what was printed:\n"
                          f"{printed}")
    return faults


ALL = [b for page in PAGES for b in fenced_blocks(page)]
PYTHON = [b for b in ALL if b.lang == "python"]


@pytest.mark.parametrize("block", PYTHON, ids=[b.where for b in PYTHON])
def test_example_runs_and_prints_what_the_page_says(block):
    if block.code.startswith("# not run"):
        compile(block.code, block.where, "exec")
        assert not expected_prints(block) and block.output is None, \
            f"{block.where}: a block that is not run cannot state its output"
        return
    for path in DATA.findall(block.code):
        if not (ROOT / path).exists():
            pytest.skip(f"{block.where} reads {path}, which is absent (the shared data)")
    faults = check(block, run(block))
    assert not faults, "\n".join(faults)


def test_every_page_has_examples_and_the_checks_bite(tmp_path):
    # each page about the API shows code that runs, and a page that is wrong is caught
    for name in ("README.md", "docs/exact.md", "docs/arrays.md", "docs/gtfs.md", "docs/congested.md"):
        assert any(b.page == name and not b.code.startswith("# not run") for b in PYTHON), name
    page = tmp_path / "page.md"
    page.write_text("Text.\n\n```python\nx = [1, 2]\nprint(x)  # prints: [1, 3]\n"
                    "print(len(x))  # prints: 2\nfor i in x:  # prints: 1 2\n    print(i)\n"
                    "print('a\\n   b')\n```\n\n```output\n[1, 2] ... a b\n```\n")
    (block,) = fenced_blocks(page, tmp_path)
    assert block.where == "page.md:4" and block.output.where == "page.md:13"
    faults = check(block, run(block))
    assert len(faults) == 2, faults
    assert faults[0] == "page.md:5: page says '[1, 3]', it printed '[1, 2]\\n'"
    assert faults[1] == "page.md:7: '# prints:' is not at the end of a top-level statement"
    block.output.code = "[1, 2]\n2\n1\n2\na b c\n"
    assert len(check(block, run(block))) == 3
    block.code += "x.missing\n"
    with pytest.raises(AssertionError, match=r'(?s)page.md:4 failed.*File "page.md", line 10'):
        run(block)


def test_readme_set_up_commands_are_the_ones_ci_runs():
    commands = [line for b in fenced_blocks(ROOT / "README.md") if b.lang == "sh"
                for line in b.code.splitlines() if line.startswith("PYENV_VERSION=")]
    ci = (ROOT / ".ci" / "run").read_text().splitlines()
    test_command = ci[ci.index("# The README's test command, verbatim:") + 1]
    assert test_command in commands
    demo = [c for c in commands if c != test_command]
    assert len(demo) == 1 and " && .venv/bin/python examples/" in demo[0], commands
    assert (ROOT / demo[0].split(" && .venv/bin/python ")[1].split()[0]).is_file()


def slug(heading):
    """The anchor a Markdown renderer gives a heading: lower case, punctuation
    dropped, spaces to hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower().replace("`", ""))
    return text.replace(" ", "-")


def anchors(path):
    text = path.read_text(encoding="utf-8")
    text = re.sub(r"^```.*?^```", "", text, flags=re.M | re.S)
    return {slug(m) for m in re.findall(r"^#+\s+(.*)$", text, flags=re.M)}


def test_links_and_named_files_exist():
    faults = []
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        prose = re.sub(r"^```.*?^```", "", text, flags=re.M | re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", prose):
            if re.match(r"[a-z]+:", target):
                continue  # a web address: not checked offline
            file, _, anchor = target.partition("#")
            dest = (page.parent / file).resolve() if file else page
            if not dest.exists():
                faults.append(f"{page.name}: link to {target}: no such file")
            elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
                faults.append(f"{page.name}: link to {target}: no such heading")
        for named in re.findall(r"`((?:examples|benchmarks|tests|docs|\.ci)/[\w./-]+)`", text):
            if not (ROOT / named).exists():
                faults.append(f"{page.name}: names {named}, which does not exist")
    assert not faults, "\n".join(faults)
