"""Prints the lines of tests, the lines of code and their ratio (the project keeps it at 0.25-0.33).

tests: tests/*.py and tests/core/*.cpp; code: *.cpp, *.hpp, *.py and *.pyi under src, python/vashlet,
fuzz, bench, scripts and examples, except the generated display_escapes.inc."""

from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CODE_DIRS = ["src", "python/vashlet", "fuzz", "bench", "scripts", "examples"]
CODE_SUFFIXES = {".cpp", ".hpp", ".py", ".pyi"}


def lines(paths):
    return sum(len(path.read_bytes().splitlines()) for path in paths)


def main():
    tests = lines([*ROOT.glob("tests/*.py"), *ROOT.glob("tests/core/*.cpp")])
    code = lines(path for folder in CODE_DIRS for path in sorted((ROOT / folder).rglob("*"))
                 if path.suffix in CODE_SUFFIXES and path.is_file()
                 and path.name != "display_escapes.inc")
    print(f"tests {tests}\ncode {code}\nratio {tests / code:.3f}")


if __name__ == "__main__":
    main()
