#!/usr/bin/env python3
"""Which tests kill which mutants: the evidence for pruning or sharpening the suite.

mutate.py says whether the suite as a whole fails on a mutant. This tool records *every* CTest
case that fails on it, so that the score of any part of the suite can be read off without running
the mutants again, and each test's kills that no other test makes are known.

  coverage  In a build configured with --coverage, runs each CTest case alone and records which
            drawn mutants' lines it executes (a case that never runs a line cannot kill its
            mutant, so `run` runs only the cases that do).
  run       In a clean clone with a normal build: each drawn mutant is made, rebuilt and tested;
            appends one JSON line per mutant (verdict and failing cases) to --matrix, and
            resumes where an earlier run stopped.
            With --detail, also the failure messages of each failing case, so that the rows
            and assertions inside a case that catch a mutant are known; --only and --keys
            narrow such a run to some cases and mutants.
  report    The score per seed of the suite without the cases listed in --without (one per
            line), and the mutants that only one remaining case kills; with --equivalent, also
            the score without the survivors judged equivalent.

  usage (from the project root; mutate.py is the project's mutation tester):
    tools/kill-matrix.py coverage --build build-cov --seeds 1 2 3 --coverage cov.json
    tools/kill-matrix.py run --build build --seeds 1 2 3 --coverage cov.json --matrix m.jsonl
    tools/kill-matrix.py report --matrix m.jsonl --seeds 1 2 3 [--without cases.txt]

  A hanging mutant costs each case's CTest timeout, which for the GoogleTest cases is their
  TIMEOUT property (ctest --timeout does not override it): configure the run's build with
  -DRG_TEST_TIMEOUT=20 before building it (a program takes the value when it is linked).
"""
import argparse, collections, glob, json, os, random, re, shutil, signal, subprocess, sys, time

ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
ap.add_argument("command", choices=["coverage", "run", "report"])
ap.add_argument("--build", default="build")
ap.add_argument("--seeds", type=int, nargs="+", default=[1, 2, 3])
ap.add_argument("--count", type=int, default=120)
ap.add_argument("--files", nargs="+", default=["src/**/*.cpp", "host/src/*.cpp"])
ap.add_argument("--coverage", default="coverage.json")
ap.add_argument("--matrix", default="kill-matrix.jsonl")
ap.add_argument("--without", default=None)
ap.add_argument("--equivalent", default=None, help="survivors judged equivalent: a key a line, then ' # ' and why")
ap.add_argument("--detail", action="store_true", help="record each failing case's messages")
ap.add_argument("--only", default=None, help="run only the cases this pattern finds")
ap.add_argument("--keys", default=None, help="run only the mutants listed in this file")
ap.add_argument("--targets", nargs="+", default=[], help="build only these (the programs --only runs)")
ap.add_argument("--exclude", default="package_consumer|embed_example", help="cases never run")
ap.add_argument("--mutate", default=os.path.join(os.path.dirname(__file__), "../../shared/tools"))
a = ap.parse_args()
signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # a report piped into head ends quietly
sys.path.insert(0, a.mutate)
import mutate  # noqa: E402  (the drawing of mutants must be mutate.py's own)


def key(m):
    return "%s:%d:%d:%s" % (m[0], m[1] + 1, m[2], m[4])


def draws():
    """(seed, mutant) for each seed's drawn mutants, and the lines of each file."""
    files = sorted({p for g in a.files for p in glob.glob(g, recursive=True) if os.path.isfile(p)})
    pool, texts = [], {}
    for p in files:
        c, lines = mutate.candidates(p)
        pool += c
        texts[p] = lines
    return [(s, m) for s in a.seeds for m in random.Random(s).sample(pool, min(a.count, len(pool)))], texts


def cases(build):
    out = subprocess.run(["ctest", "-N"], cwd=build, capture_output=True, text=True).stdout
    return [m.group(1) for m in re.finditer(r"Test\s+#\d+: (\S+)", out)]


def coverage():
    drawn, _ = draws()
    sites = {f"{m[0]}:{m[1] + 1}" for _, m in drawn}
    root, result = os.getcwd(), {}
    for case in cases(a.build):
        for g in glob.glob(a.build + "/**/*.gcda", recursive=True):
            os.remove(g)
        subprocess.run(["ctest", "-R", "^" + re.escape(case) + "$"], cwd=a.build, capture_output=True)
        data = [os.path.abspath(g) for g in glob.glob(a.build + "/**/*.gcda", recursive=True)]
        hit = set()
        for i in range(0, len(data), 40):
            out = subprocess.run(["gcov", "--json-format", "--stdout"] + data[i:i + 40], cwd=a.build,
                                 capture_output=True, text=True).stdout
            for line in filter(lambda l: l.startswith("{"), out.splitlines()):
                doc = json.loads(line)
                for f in doc["files"]:
                    path = os.path.relpath(os.path.realpath(os.path.join(doc["current_working_directory"], f["file"])), root)
                    hit |= {f"{path}:{l['line_number']}" for l in f["lines"] if l["count"] > 0} & sites
        result[case] = sorted(hit)
        print(case, len(hit), flush=True)
    json.dump(result, open(a.coverage, "w"), indent=0)


def failures(case):
    """The failure messages of one case run again alone: a GoogleTest case's failing
    assertions with their traces and messages, or another program's last lines."""
    try:
        out = subprocess.run(["ctest", "--output-on-failure", "--timeout", "20", "-R", "^" + re.escape(case) + "$"],
                             cwd=a.build, capture_output=True, text=True, errors="replace", timeout=120).stdout
    except subprocess.TimeoutExpired:
        return ["<timeout>"]
    blocks = re.split(r"^(?=\S+:\d+: Failure$)", out, flags=re.M)[1:]
    if not blocks:
        return ["\n".join(out.strip().splitlines()[-8:])]
    kept = {}  # one message per assertion and trace: a loop over pixels repeats itself
    for b in blocks:
        b = re.sub(r"^/\S*/(tests|fuzz)/", r"\1/", b.split("\n[  FAILED  ]")[0].strip(), flags=re.M)
        kept.setdefault((b.split("\n")[0], b.partition("Google Test trace:")[2]), b[:600])
    return list(kept.values())[:40]


def run():
    drawn, texts = draws()
    cov = json.load(open(a.coverage))
    runners = collections.defaultdict(set)
    for case, hit in cov.items():
        for s in hit:
            runners[s].add(case)
    done = {json.loads(l)["key"] for l in open(a.matrix)} if os.path.exists(a.matrix) else set()
    build = f"cmake --build {a.build} -j2" + "".join(" --target " + t for t in a.targets)
    if mutate.run(build, 3600, ".") != 0:
        sys.exit("the unmutated tree does not build")
    # Cases added since the coverage was taken may run any line: they run for every mutant,
    # and cases since removed for none.
    current = cases(a.build)
    newer = set(current) - set(cov)
    skip = re.compile(a.exclude)
    only = re.compile(a.only) if a.only else None
    wanted = {l.strip() for l in open(a.keys) if l.strip()} if a.keys else None
    for n, (seed, m) in enumerate(drawn, 1):
        if key(m) in done or (wanted is not None and key(m) not in wanted):
            continue
        done.add(key(m))
        p, i, s, e, name, rep = m
        lines = list(texts[p])
        lines[i] = mutate.mutated_line(lines[i], s, e, rep)
        # A line no case executes (or one gcov does not map) is tested by every case.
        chosen = sorted(c for c in (runners.get(f"{p}:{i + 1}", set(current)) | newer) & set(current)
                        if not skip.search(c) and (only is None or only.search(c)))
        t0, failed, detail = time.time(), [], {}
        shutil.copy2(p, p + ".mutate-orig")
        try:
            with open(p, "w") as f:
                f.writelines(lines)
            if mutate.run(build, 1800, ".") != 0:
                verdict = "stillborn"
            else:
                pattern = "^(" + "|".join(re.escape(c) for c in chosen) + ")$"
                # A session of its own, so that a timeout also stops the test programs ctest
                # started (a hanging mutant's would otherwise run on and slow every later one).
                run = subprocess.Popen(["ctest", "-j2", "--timeout", "20", "-R", pattern], cwd=a.build,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                       errors="replace", start_new_session=True)
                try:
                    out = run.communicate(timeout=600)[0]
                except subprocess.TimeoutExpired:
                    os.killpg(run.pid, signal.SIGKILL)
                    run.communicate()
                    out, failed = "", ["<timeout>"]
                tail = out.split("The following tests FAILED:", 1)
                failed += re.findall(r"^\s*\d+ - (\S+) \(", tail[1], re.M) if len(tail) == 2 else []
                verdict = "killed" if failed else "SURVIVED"
                for c in failed if a.detail else []:
                    detail[c] = failures(c)
        finally:
            shutil.move(p + ".mutate-orig", p)
            os.utime(p, None)
        row = {"key": key(m), "seed": seed, "verdict": verdict, "failed": failed, "line": lines[i].strip(),
               "secs": round(time.time() - t0, 1)}
        if a.detail:
            row["detail"] = detail
        with open(a.matrix, "a") as f:
            f.write(json.dumps(row) + "\n")
        print(f"[{n}/{len(drawn)}] {verdict:9} {len(failed):3} of {len(chosen):3} cases  {key(m)}", flush=True)
    mutate.run(build, 3600, ".")


def report():
    drawn, _ = draws()
    rows = {}
    for l in open(a.matrix):
        r = json.loads(l)
        rows[r["key"]] = r
    gone = {l.strip() for l in open(a.without) if l.strip()} if a.without else set()
    same = {l.split(" # ")[0].strip() for l in open(a.equivalent) if l.strip() and l[0] != "#"} if a.equivalent else set()
    sole = collections.defaultdict(list)
    for seed in a.seeds:
        counts = collections.Counter()
        for s, m in drawn:
            if s != seed:
                continue
            r = rows.get(key(m))
            if r is None:
                counts["not run"] += 1
                continue
            left = [c for c in r["failed"] if c not in gone]
            verdict = r["verdict"] if r["verdict"] == "stillborn" else "killed" if left else "survived"
            counts[verdict] += 1
            counts["equivalent"] += verdict == "survived" and key(m) in same
            if len(left) == 1:
                sole[left[0]].append(key(m))
        live = counts["killed"] + counts["survived"]
        print(f"seed {seed}: {counts['killed']} killed, {counts['survived']} survived, "
              f"{counts['stillborn']} did not build, {counts['not run']} not run: "
              f"{100.0 * counts['killed'] / max(live, 1):.1f} %" + (
                  f"; {counts['equivalent']} survivors judged equivalent, "
                  f"{100.0 * counts['killed'] / max(live - counts['equivalent'], 1):.1f} % of the rest"
                  if same else ""))
    for case, keys in sorted(sole.items()):
        print(f"only {case} kills: " + ", ".join(sorted(set(keys))))


{"coverage": coverage, "run": run, "report": report}[a.command]()
