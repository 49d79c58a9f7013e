#!/usr/bin/env python3
"""Differential tester: random projects, random edit sequences, and after
every incremental build three checks:

- outputs: every target equals what a clean build of a copy of the project
  (its sources and scripts, no database) produces, the exit statuses agree,
  no source or script was changed by the build, and no output file (.doing)
  is left behind;
- model: the outputs equal what the model (model.py) computes;
- runs: the scripts that ran are exactly those the model says had to run
  (only on builds where nothing failed; with failures the same names must
  have run, how often is not compared).

A failing sequence is shrunk to a minimal failing sub-list of edits and
printed with its seed and the command that replays it.

    differential.py --ombu-dir BUILD_DIR [--seeds N] [--edits N] [--jobs N]
                    [--minutes M] [--seed S --replay kind:seed,...]
"""

import argparse
import os
import random
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from model import Model  # noqa: E402
from project import (ABSENT, EDIT_WEIGHTS, Hang, Project, build_env, leftovers,  # noqa: E402
                     random_edits, read_tree_outputs, rmtree, run_group)


class Failure(Exception):
    def __init__(self, kind, detail):
        super().__init__(kind)
        self.kind = kind
        self.detail = detail


class Stats:
    def __init__(self):
        self.sequences = self.builds = self.edits = 0
        self.wrong_outputs = self.unneeded_runs = self.missing_runs = 0
        self.model_mismatch = self.status_mismatch = self.leftover = 0
        self.unsure_builds = self.duplicate_runs = self.sources_changed = 0
        self.failures = []


def run_build(ombu_dir, root, log, jobs, timeout):
    env = build_env(ombu_dir, log)
    try:
        status, err = run_group(["ombu", "-j%d" % jobs, "all"], root, env, timeout)
    except Hang as hang:
        raise Failure("hang", str(hang))
    runs = []
    if os.path.exists(log):
        with open(log) as f:
            runs = f.read().split()
        os.remove(log)
    return status, runs, err


def clean_build(ombu_dir, project, work, jobs, timeout):
    root = os.path.join(work, "clean")
    rmtree(root)
    os.makedirs(root)
    project.write(root)
    status, _, err = run_build(ombu_dir, root, os.path.join(work, "clean.log"), jobs, timeout)
    outputs = read_tree_outputs(root, project.targets)
    rmtree(root)
    return status, outputs, err


def check_build(args, project, model, root, work, step, stats):
    """One incremental build and its checks; raises Failure."""
    log = os.path.join(work, "run.log")
    status, runs, err = run_build(args.ombu_dir, root, log, args.jobs, args.timeout)
    stats.builds += 1
    expect_ok, expect_runs = model.build(project)
    c_status, c_outputs, c_err = clean_build(args.ombu_dir, project, work, args.jobs, args.timeout)
    names = sorted(project.targets)
    outputs = read_tree_outputs(root, names)

    if (status == 0) != (c_status == 0):
        stats.status_mismatch += 1
        raise Failure("status", "%s: incremental build exited %d, clean build %d\n"
                      "incremental stderr:\n%sclean stderr:\n%s" % (step, status, c_status, err, c_err))
    wrong = [n for n in names
             if not (c_status != 0 and c_outputs[n] is ABSENT) and outputs[n] != c_outputs[n]]
    if wrong:
        stats.wrong_outputs += len(wrong)
        detail = "".join("  %s:\n    incremental %r\n    clean       %r\n" % (n, outputs[n], c_outputs[n])
                         for n in wrong)
        raise Failure("output", "%s: outputs differ from a clean build:\n%sstderr:\n%s" % (step, detail, err))
    touched = [p for p, (text, _) in sorted(project.files().items())
               if read_tree_outputs(root, [p])[p] != text]
    if touched:
        stats.sources_changed += len(touched)
        raise Failure("source", "%s: the build changed sources and scripts: %s\nstderr:\n%s"
                      % (step, " ".join(touched), err))
    left = leftovers(root)
    if left:
        stats.leftover += 1
        raise Failure("leftover", "%s: left behind: %s" % (step, " ".join(left)))
    if (status == 0) != expect_ok:
        stats.model_mismatch += 1
        raise Failure("model-status", "%s: build exited %d, the model expected %s\nstderr:\n%s"
                      % (step, status, "success" if expect_ok else "failure", err))
    for n in names:
        if c_status == 0 and model.outputs.get(n, ABSENT) != outputs[n]:
            stats.model_mismatch += 1
            raise Failure("model-output", "%s: %s is %r, the model computed %r"
                          % (step, n, outputs[n], model.outputs.get(n, ABSENT)))
    if model.failures:
        stats.unsure_builds += 1
    extra = sorted(set(runs) - set(expect_runs))
    missing = sorted(set(expect_runs) - set(runs))
    if extra or missing:
        stats.unneeded_runs += len(extra)
        stats.missing_runs += len(missing)
        raise Failure("runs", "%s: scripts that ran: %s\n  the model expected: %s\n  unneeded: %s\n"
                      "  missing: %s\nstderr:\n%s" % (step, " ".join(runs), " ".join(expect_runs),
                                                       " ".join(extra), " ".join(missing), err))
    # How often each ran is compared only where nothing failed: a failing
    # target is tried again by each of its users.
    twice = _minus(sorted(runs), sorted(expect_runs)) if not model.failures else []
    if twice:
        stats.duplicate_runs += len(twice)
        if "duplicate" not in args.tolerate:
            raise Failure("duplicate", "%s: scripts that ran: %s\n  the model expected: %s\n"
                          "  ran more than once: %s\n" % (step, " ".join(runs), " ".join(expect_runs),
                                                           " ".join(twice)))
    return runs


def _minus(a, b):
    rest = list(b)
    out = []
    for x in a:
        if x in rest:
            rest.remove(x)
        else:
            out.append(x)
    return out


def play(args, seed, edits, stats, verbose=False):
    """Builds the project of seed, then applies the edits one by one with a
    build after each. Returns None, or the Failure with the index of the
    edit after which it happened."""
    work = tempfile.mkdtemp(prefix="ombu-torture-")
    root = os.path.join(work, "tree")
    os.makedirs(root)
    try:
        project = Project(seed)
        project.no_recreate = args.no_recreate
        project.catch_all = not args.no_catch_all
        model = Model()
        files = project.write(root)
        check_build(args, project, model, root, work, "first build", stats)
        for i, (kind, eseed) in enumerate(edits):
            what = project.apply(kind, eseed, root)
            files = project.write(root, files)
            for name in list(model.outputs):
                if not os.path.exists(os.path.join(root, name)):
                    model.deleted(name)
            stats.edits += 1
            runs = check_build(args, project, model, root, work,
                               "after edit %d (%s:%d: %s)" % (i + 1, kind, eseed, what), stats)
            if verbose:
                print("  edit %d %s:%d %s -> ran %s" % (i + 1, kind, eseed, what, " ".join(runs)))
        return None
    except Failure as failure:
        failure.edits = edits
        return failure
    finally:
        if not args.keep:
            rmtree(work)


def shrink(args, seed, edits, kind):
    """Delta debugging over the edit list: a smallest sub-list that still
    fails with the same kind of failure."""
    def fails(sub):
        f = play(args, seed, sub, Stats())
        return f is not None and f.kind == kind

    n = 2
    while len(edits) >= 2:
        chunk = max(1, len(edits) // n)
        subsets = [edits[i:i + chunk] for i in range(0, len(edits), chunk)]
        reduced = False
        for i in range(len(subsets)):
            complement = [e for j, s in enumerate(subsets) if j != i for e in s]
            if fails(complement):
                edits = complement
                n = max(n - 1, 2)
                reduced = True
                break
        if not reduced:
            if n >= len(edits):
                break
            n = min(len(edits), n * 2)
    if len(edits) == 1 and fails([]):
        edits = []
    return edits


def describe(args, seed, edits, failure):
    replay = ",".join("%s:%d" % e for e in edits)
    return ("FAIL [%s] seed %d, %d edit(s): %s\n%s\nreplay: python3 %s --ombu-dir %s -j%d --seed %d --replay '%s'\n"
            % (failure.kind, seed, len(edits), replay or "(none)", failure.detail,
               os.path.relpath(__file__), args.ombu_dir, args.jobs, seed, replay))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ombu-dir", required=True, help="directory holding ombu and its links")
    ap.add_argument("--seeds", type=int, default=3, help="projects to try (default 3)")
    ap.add_argument("--first-seed", type=int, default=1)
    ap.add_argument("--edits", type=int, default=6, help="edits per project (default 6)")
    ap.add_argument("-j", "--jobs", type=int, default=1)
    ap.add_argument("--minutes", type=float, default=0,
                    help="run new seeds until this much time has passed (overrides --seeds)")
    ap.add_argument("--no-shrink", action="store_true")
    ap.add_argument("--keep-going", action="store_true", help="go on with the next seed after a failure")
    ap.add_argument("--without", default="", help="edit kinds to leave out, comma separated")
    ap.add_argument("--tolerate", default="",
                    help="'duplicate': count targets that ran more than once in one build, "
                         "without failing")
    ap.add_argument("--no-recreate", action="store_true",
                    help="no edit brings back a file that an edit removed")
    ap.add_argument("--no-catch-all", action="store_true",
                    help="default.do scripts fail, as the others do, for a target without a .deps file")
    ap.add_argument("--seed", type=int, help="replay one seed")
    ap.add_argument("--replay", help="with --seed: the edits, kind:seed,...")
    ap.add_argument("--keep", action="store_true", help="keep the temporary trees")
    ap.add_argument("--timeout", type=int, default=60,
                    help="seconds after which a build counts as hanging (default 60)")
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args()
    args.ombu_dir = os.path.abspath(args.ombu_dir)
    if not os.access(os.path.join(args.ombu_dir, "ombu"), os.X_OK):
        sys.exit("no ombu in " + args.ombu_dir)
    stats = Stats()

    if args.seed is not None:
        edits = [(k, int(s)) for k, s in (e.split(":") for e in args.replay.split(","))] if args.replay else []
        f = play(args, args.seed, edits, stats, verbose=True)
        if f:
            print(describe(args, args.seed, edits, f))
            return 1
        print("ok")
        return 0

    kinds = {k: w for k, w in EDIT_WEIGHTS.items() if k not in args.without.split(",")}
    start = time.time()
    seed = args.first_seed
    failed = 0
    while True:
        if args.minutes:
            if time.time() - start > args.minutes * 60:
                break
        elif seed >= args.first_seed + args.seeds:
            break
        edits = random_edits(random.Random(seed), args.edits, kinds)
        f = play(args, seed, edits, stats, verbose=args.verbose)
        stats.sequences += 1
        if f:
            failed += 1
            cut = f.edits
            if not args.no_shrink:
                cut = shrink(args, seed, edits, f.kind)
                again = play(args, seed, cut, Stats())
                f = again or f
            print(describe(args, seed, cut, f), flush=True)
            stats.failures.append((seed, f.kind))
            if not args.keep_going:
                break
        seed += 1
    print("sequences %d, builds %d, edits %d, wrong outputs %d, unneeded runs %d, duplicate runs %d, missing runs %d, "
          "sources overwritten %d, status mismatches %d, model mismatches %d, leftovers %d, builds with failing scripts %d, failing sequences %d (%s), %.0f s"
          % (stats.sequences, stats.builds, stats.edits, stats.wrong_outputs, stats.unneeded_runs,
             stats.duplicate_runs, stats.missing_runs, stats.sources_changed, stats.status_mismatch, stats.model_mismatch, stats.leftover,
             stats.unsure_builds, failed, " ".join("%d:%s" % x for x in stats.failures),
             time.time() - start))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
