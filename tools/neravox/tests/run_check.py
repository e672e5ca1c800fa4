#!/usr/bin/env python3
"""Runs one neravox command and checks its exit code and what it printed.

    run_check.py [--rc N|nonzero] [--out RE]... [--err RE]... [--not-err RE]...
                 [--stdin TEXT] [--clean-state] -- COMMAND...

Every --out/--err pattern must be found (Python regular expressions,
multi-line), no --not-err pattern may be. stdin is empty unless --stdin
gives it. --clean-state empties $NERAVOX_STATE_DIR first.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rc", default="0")
    ap.add_argument("--out", action="append", default=[])
    ap.add_argument("--err", action="append", default=[])
    ap.add_argument("--not-err", action="append", default=[])
    ap.add_argument("--stdin", default="")
    ap.add_argument("--clean-state", action="store_true")
    ap.add_argument("command", nargs=argparse.REMAINDER)
    a = ap.parse_args()
    if a.clean_state:
        shutil.rmtree(os.environ["NERAVOX_STATE_DIR"], ignore_errors=True)
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    try:
        p = subprocess.run(command, input=a.stdin.encode(), capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        print("run_check: FAIL: %s did not end" % command)
        return 1
    out = p.stdout.decode(errors="replace")
    err = p.stderr.decode(errors="replace")
    problems = []
    if a.rc == "nonzero":
        if p.returncode == 0:
            problems.append("exit code 0, expected a failure")
    elif p.returncode != int(a.rc):
        problems.append("exit code %d, expected %s" % (p.returncode, a.rc))
    # UndefinedBehaviorSanitizer reports without changing the exit code.
    for marker in ("runtime error:", "Sanitizer"):
        if marker in err:
            problems.append("a sanitizer reported: %r" % marker)
    for pattern in a.out:
        if not re.search(pattern, out, re.M):
            problems.append("stdout lacks %r" % pattern)
    for pattern in a.err:
        if not re.search(pattern, err, re.M):
            problems.append("stderr lacks %r" % pattern)
    for pattern in a.not_err:
        m = re.search(pattern, err, re.M)
        if m:
            problems.append("stderr has %r: %r" % (pattern, m.group(0)))
    if problems:
        print("--- stdout\n%s--- stderr\n%s---" % (out, err[-4000:]))
        for problem in problems:
            print("run_check: FAIL: " + problem)
        return 1
    print("run_check: PASS: %s" % " ".join(command[1:]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
