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
import signal
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from model import Model  # noqa: E402
from project import (ABSENT, EDIT_WEIGHTS, SIZES, Hang, Project, build_env, leftovers,  # noqa: E402
                     random_edits, read_tree_outputs, rmtree, run_group, start_group, token_warnings)


class Failure(Exception):
    def __init__(self, kind, detail):
        super().__init__(kind)
        self.kind = kind
        self.detail = detail


class Stats:
    def __init__(self):
        self.sequences = self.builds = self.edits = 0
        self.hangs = self.token_warnings = 0
        self.wrong_outputs = self.unneeded_runs = self.missing_runs = 0
        self.model_mismatch = self.status_mismatch = self.leftover = 0
        self.unsure_builds = self.duplicate_runs = self.sources_changed = 0
        self.stale_by_rule = self.same_second = self.records_time = 0
        self.failures = []

    def line(self, jobs, seconds):
        return ("-j%d: sequences %d, builds %d, hangs %d, token warnings %d, wrong outputs %d, "
                "needless runs %d | edits %d, duplicate runs %d, missing runs %d, sources overwritten %d, "
                "status mismatches %d, model mismatches %d, records times moved %d, leftovers %d, "
                "builds with failing scripts %d, builds kept stale by the rule %d, "
                "second saves within the second %d, failing sequences %d (%s), %.0f s"
                % (jobs, self.sequences, self.builds, self.hangs, self.token_warnings, self.wrong_outputs,
                   self.unneeded_runs, self.edits, self.duplicate_runs, self.missing_runs,
                   self.sources_changed, self.status_mismatch, self.model_mismatch, self.records_time,
                   self.leftover, self.unsure_builds, self.stale_by_rule, self.same_second,
                   len(self.failures), " ".join("%d:%s" % x for x in self.failures), seconds))


def read_log(log):
    runs = []
    if os.path.exists(log):
        with open(log) as f:
            runs = f.read().split()
        os.remove(log)
    return runs


def check_tokens(stats, err, what):
    """A -jN build (-j1 included: it makes a job server too) that finds its
    job server short of tokens (or over) at its end."""
    lines = token_warnings(err)
    if lines:
        stats.token_warnings += 1
        raise Failure("token", "%s: %s" % (what, "\n".join(lines)))


def run_build(ombu_dir, root, log, jobs, timeout, stats, extra=None, second=None):
    """One `ombu -jN all`; with second = (delay, extra), a second one is
    started on the same tree after delay seconds, while the first runs.
    Returns (statuses, scripts that ran, stderr)."""
    cmd = ["ombu", "-j%d" % jobs, "all"]
    procs = [start_group(cmd, root, build_env(ombu_dir, log, extra))]
    if second:
        time.sleep(second[0])
        procs.append(start_group(cmd, root, build_env(ombu_dir, log, second[1])))
    results = []
    try:
        for proc in procs:
            results.append(run_group(cmd, root, None, timeout, proc))
    except Hang as hang:
        stats.hangs += 1
        raise Failure("hang", str(hang))
    finally:
        for proc in procs:  # the other build of a pair where one hung
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.communicate()
    err = "".join(e for _, e in results)
    check_tokens(stats, err, " ".join(cmd))
    return [st for st, _ in results], read_log(log), err


def clean_build(args, project, work, jobs, stats):
    root = os.path.join(work, "clean")
    rmtree(root)
    os.makedirs(root)
    project.write(root)
    # A directory that held only a link that a build replaced by its output
    # has no source left in it; the tree keeps it, and so does a checkout.
    for name in list(project.targets) + sorted(project.gone):
        os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
    status, _, err = run_build(args.ombu_dir, root, os.path.join(work, "clean.log"), jobs, args.timeout, stats)
    outputs = read_tree_outputs(root, project.targets)
    rmtree(root)
    return status[0], outputs, err


def tree_times(project, model, root):
    """The modification seconds of the project's files and links, and those of
    the targets' records files, as the next build finds them."""
    mtimes, written = {}, {}
    for name in list(project.files()) + list(project.links):
        try:
            mtimes[name] = os.lstat(os.path.join(root, name)).st_mtime_ns // 10**9
        except OSError:
            pass
    for name in model.records:
        try:
            written[name] = os.stat(os.path.join(root, ".ombu", name + ".prereqs")).st_mtime_ns // 10**9
        except OSError:
            pass
    return mtimes, written


def check_build(args, project, model, root, work, step, stats, jobs, extra=None, second=None,
                resaved=None, clean=True):
    """One incremental build (two at once with second) and its checks; raises
    Failure. resaved: a source that the build itself saves again. Without
    clean, no clean build is made and only the model judges."""
    log = os.path.join(work, "run.log")
    mtimes, written = tree_times(project, model, root)
    try:
        statuses, runs, err = run_build(args.ombu_dir, root, log, jobs, args.timeout, stats, extra, second)
    except Failure as failure:
        failure.detail = "%s: %s" % (step, failure.detail)
        raise
    stats.builds += len(statuses)
    status = statuses[0]
    expect_ok, expect_runs = model.build(project, mtimes, written)
    for name in model.replaced:
        project.links.pop(name, None)
    if clean:
        c_status, c_outputs, c_err = clean_build(args, project, work, jobs, stats)
        stats.builds += 1
    else:
        c_status, c_outputs, c_err = (0 if expect_ok else 1), None, ""
    names = sorted(project.targets)
    outputs = read_tree_outputs(root, names)
    if len(statuses) > 1 and (statuses[1] == 0) != (status == 0):
        stats.status_mismatch += 1
        raise Failure("status", "%s: the two builds exited %d and %d\nstderr:\n%s"
                      % (step, status, statuses[1], err))
    # Where the rule trusted a time over changed contents, the tree may
    # differ from a clean build: then only the model judges.
    hidden = bool(model.hidden) or not clean
    if model.hidden:
        stats.stale_by_rule += 1
    moved = [n for n, w in sorted(tree_times(project, model, root)[1].items())
             if n in written and w != written[n] and n not in model.done]
    if moved:
        stats.records_time += 1
        raise Failure("records-time", "%s: the records of %s were rewritten, but the build neither "
                      "ran nor judged them" % (step, " ".join(moved)))

    if not hidden and (status == 0) != (c_status == 0):
        stats.status_mismatch += 1
        raise Failure("status", "%s: incremental build exited %d, clean build %d\n"
                      "incremental stderr:\n%sclean stderr:\n%s" % (step, status, c_status, err, c_err))
    wrong = [n for n in names
             if not hidden and not (c_status != 0 and c_outputs[n] is ABSENT) and outputs[n] != c_outputs[n]]
    if wrong:
        stats.wrong_outputs += len(wrong)
        detail = "".join("  %s:\n    incremental %r\n    clean       %r\n" % (n, outputs[n], c_outputs[n])
                         for n in wrong)
        raise Failure("output", "%s: outputs differ from a clean build:\n%sstderr:\n%s" % (step, detail, err))
    touched = [p for p, (text, _) in sorted(project.files().items())
               if p != resaved and read_tree_outputs(root, [p])[p] != text]
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
        if (hidden and expect_ok or c_status == 0) and model.outputs.get(n, ABSENT) != outputs[n]:
            # Equal to a clean build, the model is wrong; kept stale by the
            # rule, the tool is.
            if hidden:
                stats.wrong_outputs += 1
            else:
                stats.model_mismatch += 1
            raise Failure("output" if hidden else "model-output", "%s: %s is %r, the model computed %r"
                          "\nstderr:\n%s" % (step, n, outputs[n], model.outputs.get(n, ABSENT), err))
    if model.failures:
        stats.unsure_builds += 1
    needless = sorted(set(runs) - set(expect_runs))
    missing = sorted(set(expect_runs) - set(runs))
    if needless or missing:
        stats.unneeded_runs += len(needless)
        stats.missing_runs += len(missing)
        raise Failure("runs", "%s: scripts that ran: %s\n  the model expected: %s\n  unneeded: %s\n"
                      "  missing: %s\nstderr:\n%s" % (step, " ".join(runs), " ".join(expect_runs),
                                                       " ".join(needless), " ".join(missing), err))
    # How often each ran is compared only where nothing failed (a failing
    # target is tried again by each of its users) and one build ran (two
    # each run all's script).
    twice = _minus(sorted(runs), sorted(expect_runs)) if not model.failures and not second else []
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


def next_second():
    """Sleeps until just after the start of the next second."""
    time.sleep(1.01 - time.time() % 1)


class Tree:
    """The tree of one sequence and what the tester keeps beside it."""

    def __init__(self, args, seed, jobs, stats, work):
        self.args, self.jobs, self.stats, self.work = args, jobs, stats, work
        self.root = os.path.join(work, "tree")
        os.makedirs(self.root)
        self.project = Project(seed, args.size)
        self.project.no_recreate = args.no_recreate
        self.project.catch_all = not args.no_catch_all
        self.model = Model()
        self.files = self.project.write(self.root)
        self.count = 0
        self.envs = []  # (status, OMBUBUILD and OMBULOCKS its scripts saw) of each build

    def build(self, step, extra=None, second=None, resaved=None):
        env_file = os.path.join(self.work, "env.txt")
        extra = dict(extra or {}, TORTURE_ENV=env_file)
        self.count += 1
        runs = check_build(self.args, self.project, self.model, self.root, self.work, step, self.stats,
                           self.jobs, extra, second, resaved, clean=self.count % self.args.clean_every == 1 % self.args.clean_every)
        if os.path.exists(env_file):
            with open(env_file) as f:
                seen = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
            os.remove(env_file)
            self.envs.append((self.model.failures, {k: v for k, v in seen.items() if v}))
        return runs

    def edit_and_build(self, kind, eseed, step):
        """Applies one edit and builds, with what the edit asks around the build."""
        project = self.project
        what = project.apply(kind, eseed, self.root)
        actions, project.actions = project.actions, []
        resave = next((a for a in actions if a[0] == "resave"), None)
        late = next((a for a in actions if a[0] == "late"), None)
        if resave or late:
            next_second()  # both saves, and the build between, in one second as far as it goes
        self.files = project.write(self.root, self.files)
        for action in actions:
            if action[0] == "mtime":
                os.utime(os.path.join(self.root, action[1]), ns=(action[2], action[2]))
        for name in list(self.model.outputs):
            if not os.path.exists(os.path.join(self.root, name)):
                self.model.deleted(name)
        self.stats.edits += 1
        step = "%s (%s:%d: %s)" % (step, kind, eseed, what)
        rng = random.Random(eseed)
        extra, second = {}, None
        if ("concurrent",) in actions:
            second = (rng.uniform(0, 0.15), {"TORTURE_SLEEP": "0.02"})
            extra["TORTURE_SLEEP"] = "0.02"
        if ("inherit",) in actions and self.envs:
            # The names of the latest build where a script failed, else of the latest.
            failed = [e for f, e in self.envs if f]
            extra.update(failed[-1] if failed else self.envs[-1][1])
        if resave:
            _, name, text, when = resave
            path = os.path.join(self.root, name)
            first_second = os.lstat(path).st_mtime_ns // 10**9
            if when == "during":
                content = os.path.join(self.work, "resave")
                with open(content, "w") as f:
                    f.write(text)
                extra["TORTURE_RESAVE"] = "%s %s" % (name, content)
                runs = self.build(step, extra, second, resaved=name)
                with open(path) as f:
                    if f.read() != text:
                        return runs  # all's script did not get that far
            else:
                self.build(step + ", first save", extra, second)
            project.sources[name] = text
            if when == "during":
                self.files[name] = (text, self.files[name][1])  # the build saved it
            else:
                self.files = project.write(self.root, self.files)
            if os.lstat(path).st_mtime_ns // 10**9 == first_second:
                self.stats.same_second += 1
            if when == "during":
                return runs
            return self.build(step + ", second save")
        if late:
            return self.later_record(late, step, extra)
        return self.build(step, extra, second)

    def later_record(self, late, step, extra):
        """The build where a target's script reads its override file, saves it
        again within the second and records one more name a second later;
        then a build with nothing changed, which must rebuild the target from
        the second save."""
        _, target, name, text = late
        path = os.path.join(self.root, name)
        first_second = os.lstat(path).st_mtime_ns // 10**9
        content = os.path.join(self.work, "late")
        with open(content, "w") as f:
            f.write(text)
        extra["TORTURE_LATE"] = "%s %s %s" % (target, name, content)
        runs = self.build(step, extra, resaved=name)
        with open(path) as f:
            if f.read() != text:
                return runs  # the script did not get that far
        self.project.sources[name] = text
        self.files[name] = (text, self.files[name][1])  # the build saved it
        # The record was taken in the second of both saves: its time says
        # nothing of which save it read, whatever second the records file
        # was written in.
        self.model.untrusted.add((target, name))
        if os.lstat(path).st_mtime_ns // 10**9 == first_second:
            self.stats.same_second += 1
        return self.build(step + ", the build after")


def play(args, seed, jobs, edits, stats, verbose=False):
    """Builds the project of seed, then applies the edits one by one with a
    build after each. Returns None, or the Failure with the index of the
    edit after which it happened."""
    work = tempfile.mkdtemp(prefix="ombu-torture-")
    try:
        tree = Tree(args, seed, jobs, stats, work)
        if verbose:
            print("  %s project: %d targets, %d sources" % (tree.project.size, len(tree.project.targets) - 1,
                                                           len(tree.project.sources)))
        tree.build("first build")
        for i, (kind, eseed) in enumerate(edits):
            runs = tree.edit_and_build(kind, eseed, "after edit %d" % (i + 1))
            if verbose:
                print("  edit %d %s:%d -> ran %s" % (i + 1, kind, eseed, " ".join(runs)))
        return None
    except Failure as failure:
        failure.edits = edits
        return failure
    finally:
        if not args.keep:
            rmtree(work)


def shrink(args, seed, jobs, edits, kind):
    """Delta debugging over the edit list: a smallest sub-list that still
    fails with the same kind of failure."""
    def fails(sub):
        f = play(args, seed, jobs, sub, Stats())
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


def describe(args, seed, jobs, edits, failure):
    replay = ",".join("%s:%d" % e for e in edits)
    flags = "".join([" --size " + args.size if args.size else "",
                     " --no-recreate" if args.no_recreate else "",
                     " --no-catch-all" if args.no_catch_all else "",
                     " --tolerate " + args.tolerate if args.tolerate else ""])
    return ("FAIL [%s] seed %d, -j%d, %d edit(s): %s\n%s\nreplay: python3 %s --ombu-dir %s -j%d%s --seed %d "
            "--replay '%s'\n"
            % (failure.kind, seed, jobs, len(edits), replay or "(none)", failure.detail,
               os.path.relpath(__file__), args.ombu_dir, jobs, flags, seed, replay))


# Failures that depend on timing rather than on the edits: not shrunk.
UNSHRINKABLE = {"hang", "token"}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ombu-dir", required=True, help="directory holding ombu and its links")
    ap.add_argument("--seeds", type=int, default=3, help="projects to try (default 3)")
    ap.add_argument("--first-seed", type=int, default=1)
    ap.add_argument("--edits", type=int, default=6, help="edits per project (default 6)")
    ap.add_argument("-j", "--jobs", default="1",
                    help="-j levels, comma separated: every seed runs at each (default 1)")
    ap.add_argument("--size", choices=SIZES, help="only projects of this size (default: drawn from the seed)")
    ap.add_argument("--minutes", type=float, default=0,
                    help="run new seeds until this much time has passed (overrides --seeds)")
    ap.add_argument("--clean-every", type=int, default=1,
                    help="compare with a clean build after every Nth build only, the model judging the "
                         "others (default 1: every build)")
    ap.add_argument("--no-shrink", action="store_true")
    ap.add_argument("--keep-going", action="store_true", help="go on with the next seed after a failure")
    ap.add_argument("--without", default="", help="edit kinds to leave out, comma separated")
    ap.add_argument("--only", default="", help="only these edit kinds, comma separated")
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
    ap.add_argument("--timeout", type=int, default=30,
                    help="seconds after which a build counts as hanging (default 30)")
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args()
    args.ombu_dir = os.path.abspath(args.ombu_dir)
    if not os.access(os.path.join(args.ombu_dir, "ombu"), os.X_OK):
        sys.exit("no ombu in " + args.ombu_dir)
    levels = [int(j) for j in args.jobs.split(",")]
    stats = {j: Stats() for j in levels}

    if args.seed is not None:
        edits = [(k, int(s)) for k, s in (e.split(":") for e in args.replay.split(","))] if args.replay else []
        failed = 0
        for jobs in levels:
            f = play(args, args.seed, jobs, edits, stats[jobs], verbose=True)
            if f:
                print(describe(args, args.seed, jobs, edits, f))
                failed += 1
        print("ok" if not failed else "failed")
        return 1 if failed else 0

    kinds = {k: w for k, w in EDIT_WEIGHTS.items()
             if k not in args.without.split(",") and (not args.only or k in args.only.split(","))}
    start = time.time()
    seed = args.first_seed
    stop = False
    while not stop:
        if args.minutes:
            if time.time() - start > args.minutes * 60:
                break
        elif seed >= args.first_seed + args.seeds:
            break
        edits = random_edits(random.Random(seed), args.edits, kinds)
        for jobs in levels:
            f = play(args, seed, jobs, edits, stats[jobs], verbose=args.verbose)
            stats[jobs].sequences += 1
            if f:
                cut = f.edits
                if not args.no_shrink and f.kind not in UNSHRINKABLE:
                    cut = shrink(args, seed, jobs, edits, f.kind)
                    again = play(args, seed, jobs, cut, Stats())
                    f = again or f
                print(describe(args, seed, jobs, cut, f), flush=True)
                stats[jobs].failures.append((seed, f.kind))
                if not args.keep_going:
                    stop = True
                    break
        seed += 1
    took = time.time() - start
    for jobs in levels:
        print(stats[jobs].line(jobs, took), flush=True)
    return 1 if any(s.failures for s in stats.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
