"""Writes the seed corpora of the fuzz targets from the test suite: every string literal in
tests/*.py that the text parser reads (and the JSON form of each), every literal that is a JSON
pattern document, and the literals of the parser tests that it refuses. Run from the repository
root with the module built in-tree:  PYTHONPATH=python python fuzz/make_corpus.py

fuzz/corpus/differential/ and fuzz/corpus/arrow/ are not written here: their inputs are choices,
not text, so their seeds are the largest inputs of a half-hour run's corpus after `-merge=1` (64
for fuzz_differential, 32 for fuzz_arrow).
"""

import ast
import hashlib
import json
import pathlib

import vashlet

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
LIMIT = 150  # per target: enough to reach every construct, small enough to commit


def literals(path):
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Constant) and isinstance(node.value, str) and 0 < len(node.value) < 4000:
            yield node.value


def main():
    seeds = {"parser": set(), "json": set()}
    for path in sorted((ROOT / "tests").glob("test_*.py")):
        for text in literals(path):
            try:
                pattern = vashlet.parse_pattern(text)
            except ValueError:
                if path.name == "test_parser.py":
                    seeds["parser"].add(text)
            else:
                seeds["parser"].add(text)
                seeds["json"].add(pattern.to_json())
            try:
                document = json.loads(text)
            except ValueError:
                continue
            if isinstance(document, dict) and "steps" in document or path.name == "test_json.py":
                seeds["json"].add(text)
    for target, texts in seeds.items():
        directory = CORPUS / target
        directory.mkdir(parents=True, exist_ok=True)
        for old in directory.iterdir():
            old.unlink()
        for text in sorted(texts, key=lambda t: (len(t), t))[:LIMIT]:
            data = text.encode("utf-8", "surrogatepass")
            (directory / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)
        print(f"{target}: {min(len(texts), LIMIT)} seeds")


if __name__ == "__main__":
    main()
