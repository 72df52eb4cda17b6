"""Judges the report files a sanitized run left behind; exit status 1 when any of them counts.

Every AddressSanitizer or UndefinedBehaviorSanitizer report counts. A leak report counts when one
of its allocation stacks passes through this project's code: the interpreter keeps objects alive
at exit by design, and those leaks are its own. A process whose leak check itself crashed (the
runtime's thread-stopping tracer faults now and then at the exit of a process with many threads,
such as a worker of the distributed tests) had no leak check; that is reported, and it fails the
run only when the report holds anything else.
Usage: sanitizer_reports.py REPORT_DIR PROJECT_ROOT
"""
import pathlib
import re
import sys


def leak_blocks(text):
    return [b for b in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text) if re.match(r"(Direct|Indirect) leak of ", b)]


def ours(block, root):
    return any(marker in block for marker in (f"{root}/src/", f"{root}/bench/", f"{root}/tests/", "_quelb_core", "_quelb_bench"))


def leak_check_crashed_only(text):
    """True for a report that holds nothing but the leak checker's own crash."""
    lines = [line for line in text.splitlines() if line.strip()]
    crash = re.compile(r"^(Tracer caught signal \d+:.*|==\d+==(LeakSanitizer has encountered a fatal error\.|HINT: .*))$")
    return bool(lines) and "LeakSanitizer has encountered a fatal error" in text and all(crash.match(line) for line in lines)


def main(report_dir, root):
    failed = False
    ignored = 0
    unchecked = []
    for path in sorted(pathlib.Path(report_dir).glob("report*")):
        text = path.read_text(errors="replace")
        is_leak_report = "ERROR: LeakSanitizer: detected memory leaks" in text
        other_errors = "runtime error:" in text or re.search(r"ERROR: AddressSanitizer", text)
        if not other_errors and leak_check_crashed_only(text):
            unchecked.append(path.name)
            continue
        if other_errors or not is_leak_report:
            print(f"== {path.name}\n{text}", file=sys.stderr)
            failed = True
            continue
        counted = [b for b in leak_blocks(text) if ours(b, root)]
        ignored += len(leak_blocks(text)) - len(counted)
        if counted:
            print(f"== {path.name}: leaks through this project's code\n" + "\n".join(counted), file=sys.stderr)
            failed = True
    if unchecked:
        print(f"(leak check crashed, so skipped, in {len(unchecked)} process(es): {', '.join(unchecked)})")
    if ignored:
        print(f"({ignored} leak reports of the interpreter's own objects ignored)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2].rstrip("/")))
