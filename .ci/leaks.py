"""Reads LeakSanitizer logs and fails when a leak was allocated by the project's C++ code.

    python .ci/leaks.py <directory of lsan.* logs>

The interpreter itself is not built to be leak-free at exit, and code that the tests run
leaves objects behind, so a leak counts as ours only when a frame of our code (a source file
under src/native/) comes before the first frame of the interpreter's bytecode loop on the
allocation stack: our code allocated it, directly or through a C API call. What Python code
allocated is the interpreter's, even when our code called that Python code. Only direct leaks
decide; an indirect leak is reachable from a direct one and goes with it.
"""
import pathlib
import re
import sys

OURS = re.compile(r"/src/native/")
BYTECODE_LOOP = re.compile(r" in (_PyEval_EvalFrameDefault|_PyEval_Vector|PyEval_EvalCode)\b")
OTHER_ERROR = re.compile(r"ERROR: AddressSanitizer")
BLOCK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)")


def blocks(text):
    """(kind, bytes, frames) of each leak in one log."""
    current = None
    for line in text.splitlines() + [""]:
        match = BLOCK.match(line)
        if match:
            current = (match.group(1), int(match.group(2)), [])
        elif current and line.strip().startswith("#"):
            current[2].append(line.strip())
        elif current:
            yield current
            current = None


def owner(frames):
    """'ours', 'interpreter' or 'unknown' (the stack ends before either is met)."""
    for frame in frames:
        if OURS.search(frame):
            return "ours"
        if BYTECODE_LOOP.search(frame):
            return "interpreter"
    return "unknown"


def main(directory):
    logs = sorted(pathlib.Path(directory).glob("lsan*"))
    totals = {"ours": 0, "interpreter": 0, "unknown": 0}
    failures = []
    errors = []
    for log in logs:
        text = log.read_text(errors="replace")
        # Reports other than leaks (a use after free, a double free, ...) fail whatever stack.
        errors += [f"{log.name}: {line.strip()}" for line in text.splitlines()
                   if OTHER_ERROR.search(line)]
        for kind, size, frames in blocks(text):
            who = owner(frames)
            if kind == "Direct":
                totals[who] += size
            if kind == "Direct" and who != "interpreter":
                failures.append((log.name, size, who, frames))
    for name, size, who, frames in failures:
        by = "our" if who == "ours" else "unattributed"
        print(f"{name}: {size} byte(s) leaked, allocated by {by} code:")
        print("\n".join("    " + f for f in frames))
    print(f"leak check: {len(logs)} log(s); directly leaked bytes: ours {totals['ours']}, "
          f"interpreter {totals['interpreter']}, unattributed {totals['unknown']}")
    for line in errors:
        print(line)
    return 1 if failures or errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
