#!/usr/bin/env python3
"""testcover.py: what each test covers of the product, alone.

A clang source-based coverage build in build-tcov/ runs every ctest test by itself (kivsdpd,
kivsdpctl, kivsdp-sim and kivsdp-load started by a test count for it) and keeps, per test, the
product lines and taken branches it reached (tests/, fuzz/ and bench/ left out). The queries
then say which tests add nothing the others do not reach: a place to look when tests are pruned,
never a verdict, since a line that ran is not a line whose effect was checked.

  scripts/testcover.py run              build, then run each test alone (long: minutes per core)
  scripts/testcover.py greedy           largest test body first, drop each test whose lines and
                                        branches the tests still kept all reach; list the dropped
  scripts/testcover.py only REGEX       what the tests whose ctest name matches REGEX alone reach
  scripts/testcover.py who PATTERN      the tests that reach a product line (regex on 'file:line')
"""
import argparse
import collections
import concurrent.futures
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-tcov")
DATA = os.path.join(BUILD, "pertest")
TOOLS = ["tools/kivsdpd/kivsdpd", "tools/kivsdpctl/kivsdpctl", "tools/kivsdp-sim/kivsdp-sim",
         "tools/kivsdp-load/kivsdp-load"]
NOT_PRODUCT = r"(^/usr/|/tests/|/fuzz/|/bench/|_deps/)"


def build():
    flags = "-fprofile-instr-generate -fcoverage-mapping"
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                    "-DCMAKE_C_COMPILER=clang", "-DCMAKE_CXX_COMPILER=clang++",
                    f"-DCMAKE_C_FLAGS={flags}", f"-DCMAKE_CXX_FLAGS={flags}",
                    "-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j", str(os.cpu_count())], check=True)


def product_items(lcov_text):
    """'L file:line' for each line run, 'B file:line:block:branch' for each branch taken."""
    items, source = set(), None
    for line in lcov_text.splitlines():
        if line.startswith("SF:"):
            source = os.path.relpath(os.path.normpath(line[3:]), ROOT)
        elif line.startswith("DA:"):
            number, count = line[3:].split(",")[:2]
            if int(count) > 0:
                items.add(f"L {source}:{number}")
        elif line.startswith("BRDA:"):
            number, block, branch, taken = line[5:].split(",")
            if taken not in ("-", "0"):
                items.add(f"B {source}:{number}:{block}:{branch}")
    return items


def run_one(index, binary):
    out = os.path.join(DATA, f"{index}.cov")
    raw = os.path.join(DATA, f"{index}.raw")
    shutil.rmtree(raw, ignore_errors=True)
    os.makedirs(raw)
    env = dict(os.environ, LLVM_PROFILE_FILE=os.path.join(raw, "%p.profraw"))
    subprocess.run(["ctest", "--test-dir", BUILD, "-I", f"{index + 1},{index + 1}", "-Q",
                    "--timeout", "600"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    profiles = glob.glob(os.path.join(raw, "*.profraw"))
    items = set()
    if profiles:
        merged = os.path.join(raw, "merged.profdata")
        subprocess.run(["llvm-profdata", "merge", "-sparse", *profiles, "-o", merged], check=True)
        objects = [binary] + [os.path.join(BUILD, t) for t in TOOLS if t != binary]
        args = [objects[0]] + [a for o in objects[1:] if os.path.exists(o) for a in ("-object", o)]
        lcov = subprocess.run(["llvm-cov", "export", "-format=lcov", f"-instr-profile={merged}",
                               f"-ignore-filename-regex={NOT_PRODUCT}", *args],
                              capture_output=True, text=True).stdout
        items = product_items(lcov)
    with open(out, "w") as f:
        f.write("\n".join(sorted(items)))
    shutil.rmtree(raw)


def run():
    build()
    os.makedirs(DATA, exist_ok=True)
    listing = json.loads(subprocess.run(["ctest", "--test-dir", BUILD, "--show-only=json-v1"],
                                        capture_output=True, text=True, check=True).stdout)
    with open(os.path.join(DATA, "tests.tsv"), "w") as f, \
            concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        for index, test in enumerate(listing["tests"]):
            binary = (test.get("command") or ["?"])[0]
            f.write(f"{index}\t{test['name']}\t{binary}\n")
            pool.submit(run_one, index, binary)


def load():
    tests = {}
    with open(os.path.join(DATA, "tests.tsv")) as f:
        for line in f:
            index, name, _ = line.rstrip("\n").split("\t")
            path = os.path.join(DATA, f"{index}.cov")
            if os.path.exists(path):
                tests[name] = set(open(path).read().split("\n")) - {""}
    return tests


def test_bodies():
    """(suite, test) -> (file:line, code lines of the body up to the next test)."""
    bodies = {}
    for path in glob.glob(os.path.join(ROOT, "tests", "**", "*.cpp"), recursive=True):
        lines = open(path).read().split("\n")
        starts = [(n, m.group(1), m.group(2)) for n, l in enumerate(lines)
                  for m in [re.match(r"TEST(?:_F|_P)?\((\w+),\s*(\w+)\)", l)] if m]
        for k, (n, suite, name) in enumerate(starts):
            end = starts[k + 1][0] if k + 1 < len(starts) else len(lines)
            size = sum(1 for l in lines[n:end] if l.strip() and not l.strip().startswith("//"))
            bodies[(suite, name)] = (f"{os.path.relpath(path, ROOT)}:{n + 1}", size)
    return bodies


def unit_of(ctest_name):
    """A parameterised test's instances count as one test: 'Inst/Suite.Name/Param' -> key."""
    dotted = [p for p in ctest_name.split("  #")[0].split("/") if "." in p]
    return tuple(dotted[0].split(".", 1)) if dotted else ("", ctest_name)


def greedy():
    units = collections.defaultdict(set)
    for name, items in load().items():
        units[unit_of(name)] |= items
    bodies = test_bodies()
    reached = collections.Counter()
    for items in units.values():
        reached.update(items)
    dropped = []
    for key in sorted(units, key=lambda k: -bodies.get(k, ("", 0))[1]):
        where, size = bodies.get(key, ("", 0))
        if size and all(reached[i] > 1 for i in units[key]):
            reached.subtract(units[key])
            dropped.append((where, size, ".".join(key)))
    for where, size, name in sorted(dropped):
        print(f"{size:5d} {where} {name}")
    print(f"{sum(d[1] for d in dropped)} lines in {len(dropped)} tests reach nothing the rest "
          "does not")


def only(pattern):
    regex, mine, others = re.compile(pattern), set(), collections.Counter()
    for name, items in load().items():
        if regex.search(name):
            mine |= items
        else:
            others.update(items)
    alone = sorted(i for i in mine if not others[i])
    print("\n".join(alone + [f"{len(alone)} lines and branches only these tests reach"]))


def who(pattern):
    regex = re.compile(pattern)
    for name, items in load().items():
        if any(regex.search(i[2:]) for i in items if i.startswith("L ")):
            print(name)


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("query", choices=["run", "greedy", "only", "who"])
    ap.add_argument("pattern", nargs="?")
    a = ap.parse_args()
    if a.query in ("only", "who") and not a.pattern:
        ap.error(f"{a.query} needs a pattern")
    if a.query != "run" and not os.path.exists(os.path.join(DATA, "tests.tsv")):
        sys.exit("testcover.py: no data yet; run 'scripts/testcover.py run' first")
    {"run": run, "greedy": greedy, "only": lambda: only(a.pattern),
     "who": lambda: who(a.pattern)}[a.query]()


if __name__ == "__main__":
    main()
