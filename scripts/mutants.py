#!/usr/bin/env python3
"""mutants.py: a small mutation check of the tests.

Takes a seeded sample of one-token mutants of the server core, the framework and the SDP
device (a comparison flipped, a condition made always false so its check is dropped, a
logical operator swapped, a constant moved by one), builds each in build-mut/ and runs the
whole ctest suite. A mutant is killed when a test fails, times out or the suite stops;
stillborn when it does not build. The same seed over the same product sources gives the
same sample, so a run before and after a change to the tests compares like with like.

  scripts/mutants.py [--count N] [--seed S] [--list] [--timeout SECONDS]
  scripts/mutants.py --sources 'driver/sdp/*.cpp' --binary tests/sdp/sdp_core_tests
      builds and runs that one test binary in full for each mutant and names every test that
      failed: which tests kill which mutants, for telling a test that catches nothing
"""
import argparse
import glob
import json
import os
import random
import re
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = ["driver/sdp/*.cpp", "framework/*.cpp", "driver/*.cpp"]
BUILD = "build-mut"

SWAPS = [(" <= ", " < "), (" >= ", " > "), (" < ", " <= "), (" > ", " >= "),
         (" == ", " != "), (" != ", " == "), (" && ", " || "), (" || ", " && ")]
NUMBER = re.compile(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)(?![\w.])")


def code_mask(line):
    """The line with string and character literals and a trailing // comment blanked."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            if c == quote:
                quote = None
            out.append(" ")
        elif c in "\"'":
            quote = c
            out.append(" ")
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out).ljust(len(line))


def closing_paren(text, open_at):
    depth = 0
    for i in range(open_at, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def candidates(sources):
    found = []
    for pattern in sources:
        for path in sorted(glob.glob(os.path.join(ROOT, pattern))):
            rel = os.path.relpath(path, ROOT)
            with open(path) as f:
                lines = f.read().split("\n")
            for n, line in enumerate(lines):
                stripped = line.strip()
                if not stripped or stripped.startswith(("//", "#", "*", "/*", "static_assert")):
                    continue
                masked = code_mask(line)
                for old, new in SWAPS:
                    at = masked.find(old)
                    if at >= 0:
                        found.append((rel, n, line[:at] + new + line[at + len(old):],
                                      f"'{old.strip()}' -> '{new.strip()}'"))
                at = masked.find("if (")
                if at >= 0:
                    end = closing_paren(masked, at + 3)
                    if end > 0:
                        found.append((rel, n, line[:at] + "if (false && " + line[at + 3:end + 1] +
                                      ")" + line[end + 1:], "check dropped"))
                if "case " in masked or "[" in masked:
                    continue
                for m in NUMBER.finditer(masked):
                    text = m.group(1)
                    value = int(text, 16) if text.startswith("0x") else int(text)
                    new = (hex(value + 1) if text.startswith("0x") else str(value + 1))
                    found.append((rel, n, line[:m.start()] + new + line[m.end():],
                                  f"{text} -> {new}"))
                    break
    return found


def run(cmd, timeout=None):
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--count", type=int, default=30)
    ap.add_argument("--seed", type=int, default=12)
    ap.add_argument("--timeout", type=int, default=120, help="per test")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--sources", action="append", help="glob of files to mutate (repeatable)")
    ap.add_argument("--binary", help="one gtest binary (path below build-mut/) to run in full")
    ap.add_argument("--only", help="run just these of the sample, by number: 3,17,40")
    a = ap.parse_args()

    # A stop by signal still runs the finally below that puts the mutated file back.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    pool = candidates(a.sources or SOURCES)
    sample = random.Random(a.seed).sample(pool, min(a.count, len(pool)))
    sample.sort(key=lambda m: (m[0], m[1]))
    print(f"{len(pool)} candidate mutants, {len(sample)} sampled (seed {a.seed})", flush=True)
    if a.list:
        for i, (rel, n, _, what) in enumerate(sample, 1):
            print(f"M{i:02d} {rel}:{n + 1} {what}")
        return 0

    picked = {int(x) for x in a.only.split(",")} if a.only else None
    if run(["scripts/build.sh", "mutant"]).returncode != 0:
        print("mutants.py: the unmutated tree does not build", file=sys.stderr)
        return 2
    killed = stillborn = 0
    for i, (rel, n, mutated, what) in enumerate(sample, 1):
        if picked is not None and i not in picked:
            stillborn += 1  # not run: left out of the count
            continue
        path = os.path.join(ROOT, rel)
        with open(path) as f:
            original = f.read()
        lines = original.split("\n")
        lines[n] = mutated
        try:
            with open(path, "w") as f:
                f.write("\n".join(lines))
            target = ["--target", os.path.basename(a.binary)] if a.binary else []
            if run(["cmake", "--build", BUILD, "-j", str(os.cpu_count())] + target).returncode:
                verdict = "stillborn"
                stillborn += 1
            elif a.binary:
                report = os.path.join(ROOT, BUILD, "mutant-report.json")
                if os.path.exists(report):
                    os.remove(report)
                try:
                    r = run([os.path.join(BUILD, a.binary), "--gtest_output=json:" + report],
                            timeout=a.timeout * 5)
                    failed = []
                    if os.path.exists(report):
                        for suite in json.load(open(report))["testsuites"]:
                            failed += [suite["name"] + "." + t["name"]
                                       for t in suite["testsuite"] if "failures" in t]
                    crashed = r.returncode != 0 and not failed
                except subprocess.TimeoutExpired:
                    failed, crashed = [], True
                if failed or crashed:
                    killed += 1
                    verdict = ("killed by " + " ".join(failed)) if failed else "killed (crash)"
                else:
                    verdict = "SURVIVED"
            else:
                r = run(["ctest", "--test-dir", BUILD, "-j", str(os.cpu_count()),
                         "--stop-on-failure", "--timeout", str(a.timeout)])
                failed = re.findall(r"\d+ - (\S+) \(", r.stdout)
                if r.returncode != 0:
                    verdict = "killed by " + (failed[0] if failed else "the suite")
                    killed += 1
                else:
                    verdict = "SURVIVED"
        finally:
            with open(path, "w") as f:
                f.write(original)
        print(f"M{i:02d} {rel}:{n + 1} {what}: {verdict}", flush=True)
    run(["cmake", "--build", BUILD, "-j", str(os.cpu_count())])
    viable = len(sample) - stillborn
    print(f"killed {killed} of {viable} viable mutants ({stillborn} stillborn)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
