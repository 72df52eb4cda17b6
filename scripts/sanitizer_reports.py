"""Judges the report files a sanitized run left behind; exit status 1 when any of them counts.

Every AddressSanitizer or UndefinedBehaviorSanitizer report counts. A leak report counts when one
of its allocation stacks passes through this project's code: the interpreter keeps objects alive
at exit by design, and those leaks are its own.
Usage: sanitizer_reports.py REPORT_DIR PROJECT_ROOT
"""
import pathlib
import re
import sys


def leak_blocks(text):
    return [b for b in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text) if re.match(r"(Direct|Indirect) leak of ", b)]


def ours(block, root):
    return any(marker in block for marker in (f"{root}/src/", f"{root}/bench/", f"{root}/tests/", "_quelb_core", "_quelb_bench"))


def main(report_dir, root):
    failed = False
    ignored = 0
    for path in sorted(pathlib.Path(report_dir).glob("report*")):
        text = path.read_text(errors="replace")
        is_leak_report = "ERROR: LeakSanitizer: detected memory leaks" in text
        other_errors = "runtime error:" in text or re.search(r"ERROR: AddressSanitizer", text)
        if other_errors or not is_leak_report:
            print(f"== {path.name}\n{text}", file=sys.stderr)
            failed = True
            continue
        counted = [b for b in leak_blocks(text) if ours(b, root)]
        ignored += len(leak_blocks(text)) - len(counted)
        if counted:
            print(f"== {path.name}: leaks through this project's code\n" + "\n".join(counted), file=sys.stderr)
            failed = True
    if ignored:
        print(f"({ignored} leak reports of the interpreter's own objects ignored)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2].rstrip("/")))
