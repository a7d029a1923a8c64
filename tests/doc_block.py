"""Runs one code example of the documentation as a program of its own and
reports what each of its top-level statements printed.

    python doc_block.py DOC FIRST_LINE < source

The source is padded so that its line numbers are those of the Markdown file,
and compiled under the file's name: a traceback points at the page and line.
Standard output and standard error both go to the current statement's record
(a handler that keeps a reference to sys.stderr, such as logging's, keeps
writing to the right record). The records go out as JSON on the real standard
output: a list of [first line, last line, text].
"""
import ast
import json
import sys


class Capture:
    """A stream whose writes go to the record of the statement running now."""

    def __init__(self):
        self.current = []

    def write(self, text):
        self.current.append(text)
        return len(text)

    def flush(self):
        pass

    def isatty(self):
        return False


def main():
    doc, first = sys.argv[1], int(sys.argv[2])
    source = "\n" * (first - 1) + sys.stdin.read()
    tree = ast.parse(source, doc)
    namespace = {"__name__": "__main__", "__file__": doc}
    real = sys.stdout
    capture = Capture()
    records = []
    sys.stdout = sys.stderr = capture
    try:
        for stmt in tree.body:
            capture.current = []
            records.append([stmt.lineno, stmt.end_lineno, capture.current])
            exec(compile(ast.Module([stmt], type_ignores=[]), doc, "exec"), namespace)
    except BaseException:
        sys.stdout, sys.stderr = real, sys.__stderr__
        # what the program printed before it failed, then its traceback
        sys.stderr.write("".join("".join(r[2]) for r in records))
        raise
    sys.stdout, sys.stderr = real, sys.__stderr__
    records = [[a, b, "".join(text)] for a, b, text in records]
    json.dump(records, real)


if __name__ == "__main__":
    main()
