"""Mutation tester: how many one-operator faults in zet/ and vesk/ do the tests catch?

Each mutant flips one operator on one line of a copy of the sources; an unoptimised build of
that copy is rebuilt incrementally and the unit and integration test programs run until the
first one fails (the mutant is killed) or all pass (it survives). A mutant that does not
compile says nothing about the tests and is not counted.

The sample is a seeded random choice among every place an operator can be flipped, so the
same seed over the same sources gives the same mutants. --save keeps a sample and --sample
replays it; a replayed mutant is found again by the text of its line, so a sample survives
code moving to other lines or files.

With --lab (root only) a mutant of the kernel NSM backend or the frame socket (zet/nsm/,
zet/frame/) that every unit and integration program lets through also meets the namespace lab
(e2e_test without its storms, about 90 s): the netlink and AF_PACKET paths only run there. The
lab deletes its namespaces itself, even when a mutant kills it.
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIRS = ("zet", "vesk")
TEST_AREAS = ("zet", "vesk", "integration")
LAB_SOURCES = ("zet/nsm/", "zet/frame/")
LAB_FILTER = "--gtest_filter=-StormTest.*"

# Pairs flip both ways. Comparisons need spaces around them, as clang-format writes them, so
# template brackets, includes, arrows and shifts never match.
FLIPS = [
    (r"(?<=\s)==(?=\s)", "==", "!="),
    (r"(?<=\s)!=(?=\s)", "!=", "=="),
    (r"(?<=\s)<(?=\s)", "<", "<="),
    (r"(?<=\s)<=(?=\s)", "<=", "<"),
    (r"(?<=\s)>(?=\s)", ">", ">="),
    (r"(?<=\s)>=(?=\s)", ">=", ">"),
    (r"(?<=\s)&&(?=\s)", "&&", "||"),
    (r"(?<=\s)\|\|(?=\s)", "||", "&&"),
    (r"(?<=\s)\+ 1\b", "+ 1", "- 1"),
    (r"(?<=\s)- 1\b", "- 1", "+ 1"),
    (r"\btrue\b", "true", "false"),
    (r"\bfalse\b", "false", "true"),
    (r"\breturn 0;", "return 0;", "return -1;"),
    (r"\breturn -1;", "return -1;", "return 0;"),
]
LOG_LINE = re.compile(r"\b(zlog\w*|VESK_DEBUG\w*|IS_VESK_DEBUG\w*)\s*\(")
STRING_OR_CHAR = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'')


def sources():
    out = subprocess.run(["git", "ls-files", *SOURCE_DIRS], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout.split()
    return sorted(f for f in out if f.endswith((".cpp", ".h")))


def code_lines(text):
    """Yields (line number, line) for lines that are code: no comments, no preprocessor."""
    in_block = False
    for number, line in enumerate(text.split("\n"), 1):
        stripped = line.strip()
        if in_block:
            if "*/" in stripped:
                in_block = False
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if stripped.startswith(("//", "#", "*")) or not stripped:
            continue
        yield number, line


def masked(line):
    """The line with strings, characters and a trailing comment blanked, same length."""
    line = STRING_OR_CHAR.sub(lambda m: " " * len(m.group(0)), line)
    cut = line.find("//")
    return line if cut < 0 else line[:cut] + " " * (len(line) - cut)


def candidates():
    for path in sources():
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            text = f.read()
        for number, line in code_lines(text):
            if LOG_LINE.search(line):
                continue
            plain = masked(line)
            for pattern, old, new in FLIPS:
                for m in re.finditer(pattern, plain):
                    yield {"file": path, "line": number, "col": m.start(),
                           "text": line, "mutated": line[:m.start()] + new + line[m.start() + len(old):]}


def pick(seed, count):
    every = list(candidates())
    rng = random.Random(seed)
    chosen = rng.sample(every, min(count, len(every)))
    return sorted(chosen, key=lambda m: (m["file"], m["line"], m["col"])), len(every)


def save(sample, path):
    with open(path, "w", encoding="utf-8") as f:
        for m in sample:
            f.write("\t".join([m["file"], str(m["line"]), m["text"], m["mutated"]]) + "\n")


def load(path):
    sample = []
    with open(path, encoding="utf-8") as f:
        for row in f:
            file, line, text, mutated = row.rstrip("\n").split("\t")
            sample.append({"file": file, "line": int(line), "text": text, "mutated": mutated})
    return sample


def locate(tree, m):
    """Where the mutant's line is now: its file first, nearest to its old line, then any file."""
    files = [m["file"]] + [f for f in sources() if f != m["file"]]
    for path in files:
        full = os.path.join(tree, path)
        if not os.path.exists(full):
            continue
        with open(full, encoding="utf-8") as f:
            lines = f.read().split("\n")
        hits = [i for i, line in enumerate(lines) if line == m["text"]]
        if hits:
            return path, min(hits, key=lambda i: abs(i + 1 - m["line"]))
    return None, None


def sync_tree(tree):
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT,
                           check=True, capture_output=True, text=True).stdout.split("\n")
    for rel in filter(None, files):
        src, dst = os.path.join(ROOT, rel), os.path.join(tree, rel)
        if not os.path.isfile(src):
            continue
        if os.path.exists(dst) and open(src, "rb").read() == open(dst, "rb").read():
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy(src, dst)  # a new time, so the copy is always rebuilt
    # A file the tree no longer has must not go on being built and run from an older copy.
    keep = set(filter(None, files))
    for folder, _, names in os.walk(tree):
        for name in names:
            full = os.path.join(folder, name)
            if os.path.relpath(full, tree) not in keep:
                os.remove(full)


def configure(tree, build_dir, lab, log):
    subprocess.run(["cmake", "-S", tree, "-B", build_dir, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS=-O0 -g0",
                    "-DVESK_BENCH=OFF", "-DVESK_E2E_TESTS=" + ("ON" if lab else "OFF")],
                   check=True, stdout=log, stderr=log)


def build(build_dir, log):
    return subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 1)],
                          stdout=log, stderr=log).returncode == 0


def test_programs(build_dir):
    tests = os.path.join(build_dir, "tests")
    names = [n for n in os.listdir(tests)
             if n.split("_")[0] in TEST_AREAS and os.access(os.path.join(tests, n), os.X_OK)
             and os.path.isfile(os.path.join(tests, n)) and "." not in n]
    # Unit programs first: they are quick, and most mutants die there.
    names.sort(key=lambda n: (n.startswith("integration_"), n))
    return [os.path.join(tests, n) for n in names]


def nearest_first(programs, path):
    """The program of the mutated file's own area first (zet/... runs zet_test first): it kills
    most of its mutants, and the verdict does not depend on the order, only the time it takes."""
    area = path.split(os.sep)[0] + "_"
    return sorted(programs, key=lambda p: not os.path.basename(p).startswith(area))


def first_failure(programs, timeout, log):
    for program in programs:
        lab = os.path.basename(program) == "e2e_test"
        try:
            rc = subprocess.run([program, "--gtest_brief=1"] + ([LAB_FILTER] if lab else []),
                                stdout=log, stderr=log,
                                timeout=max(timeout, 600) if lab else timeout,
                                cwd=os.path.dirname(program)).returncode
        except subprocess.TimeoutExpired:
            return os.path.basename(program) + " (timeout)"
        if rc != 0:
            return os.path.basename(program)
    return None


def write_line(path, index, text):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    lines[index] = text
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=50)
    ap.add_argument("--sample", help="replay the mutants saved in this file")
    ap.add_argument("--save", help="write the sample to this file")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--work", default=os.path.join(ROOT, "build-mutate"))
    ap.add_argument("--timeout", type=int, default=120, help="seconds a test program may run")
    ap.add_argument("--lab", action="store_true",
                    help="also run the namespace lab for zet/nsm and zet/frame mutants (root)")
    ap.add_argument("--without", action="append", default=[], metavar="AREA",
                    help="leave this area's program out (to ask whether the others catch a mutant)")
    args = ap.parse_args()

    if args.sample:
        sample, total = load(args.sample), None
    else:
        sample, total = pick(args.seed, args.count)
    if args.save:
        save(sample, args.save)
    if args.list:
        for m in sample:
            print(f'{m["file"]}:{m["line"]}: {m["text"].strip()}  =>  {m["mutated"].strip()}')
        return 0

    if args.lab and os.geteuid() != 0:
        sys.exit("mutate: --lab needs root, for network namespaces")
    tree, build_dir = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    os.makedirs(tree, exist_ok=True)
    sync_tree(tree)
    log = open(os.path.join(args.work, "log"), "w")
    configure(tree, build_dir, args.lab, log)
    if not build(build_dir, log):
        sys.exit("mutate: the unmutated sources do not build; see " + log.name)
    programs = [p for p in test_programs(build_dir)
                if os.path.basename(p).split("_")[0] not in args.without]
    lab = [os.path.join(build_dir, "tests", "e2e_test")] if args.lab else []
    failing = first_failure(programs + lab, args.timeout, log)
    if failing:
        sys.exit(f"mutate: {failing} fails without any mutant; see {log.name}")

    print(f"mutate: {len(sample)} mutants" + (f" of {total} (seed {args.seed})" if total else ""))
    killed, survivors, stillborn, lost, timeouts = 0, [], 0, 0, []
    for n, m in enumerate(sample, 1):
        path, index = locate(tree, m)
        where = f'{m["file"]}:{m["line"]}'
        if path is None:
            lost += 1
            print(f"[{n}] gone     {where}: line not found")
            continue
        full = os.path.join(tree, path)
        started = time.monotonic()
        write_line(full, index, m["mutated"])
        try:
            if not build(build_dir, log):
                stillborn += 1
                verdict = "no build"
            else:
                near = nearest_first(programs, path) + (lab if path.startswith(LAB_SOURCES) else [])
                failed = first_failure(near, args.timeout, log)
                if failed:
                    killed += 1
                    verdict = "killed   by " + failed
                    if failed.endswith("(timeout)"):
                        timeouts.append(f'{path}:{index + 1}')
                else:
                    survivors.append(f'{path}:{index + 1}: {m["text"].strip()}  =>  {m["mutated"].strip()}')
                    verdict = "SURVIVED"
        finally:
            write_line(full, index, m["text"])
        print(f"[{n}] {verdict:<40} {where} ({time.monotonic() - started:.0f} s)", flush=True)

    build(build_dir, log)
    counted = killed + len(survivors)
    score = 100.0 * killed / counted if counted else 0.0
    print(f"score: {killed} of {counted} killed ({score:.1f}%); "
          f"{stillborn} did not build, {lost} not found")
    # A program that only ran out of time may be a slow machine rather than a caught mutant.
    if timeouts:
        print(f"{len(timeouts)} of the kills were timeouts: " + ", ".join(timeouts))
    for s in survivors:
        print("survivor: " + s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
