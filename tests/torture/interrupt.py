#!/usr/bin/env python3
"""Interruption tester: a build of a random project (built once, then
edited) is killed at a random instant, and the tree must recover.

Kinds of kill (--kinds, comma separated):
  group-kill, group-term   SIGKILL / SIGTERM to the build's whole process group
  top-kill, top-term       SIGKILL / SIGTERM to the top ombu process alone
  script-kill, script-term SIGKILL / SIGTERM to one running .do script

After the kill, and after every process of the build has ended (unless
--no-drain, when one more edit is made and the next build starts at once):
  - every .ombu/**/*.prereqs file reads back whole as records;
  - a normal build succeeds, its outputs equal those of a clean build of a
    copy of the project, and it leaves no wait note (.ombu/**/*.waits/*)
    behind and no prerequisites file that does not read back (output files,
    .doing, that it leaves are counted: a launch removes them, so they do
    not mislead);
  - the build after that runs no script but the top one's.
A failure prints the seed, the kind, the -j level and the kill instant, and
the command that repeats the case.

    interrupt.py --ombu-dir BUILD_DIR [--cases N | --minutes M] [--kinds ...]
                 [--jobs 1,2] [--first-seed S] [--no-drain] [--keep-going]
"""

import argparse
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from project import (SIZES, Hang, Project, build_env, leftovers, random_edits,  # noqa: E402
                     read_tree_outputs, rmtree, run_group, token_warnings)

KINDS = ["group-kill", "group-term", "top-kill", "top-term", "script-kill", "script-term"]
SAFE_EDITS = ["change", "script_change", "specific_script", "local_create", "mode", "add_dep",
              "delete_target", "touch"]
RECORD = re.compile(rb"(a[^\s].*|[sd]-?[0-9a-f]+ [^\s].*|f[0-9a-f]{64} -?[0-9a-f]+ [^\s].*)\Z")


class Failure(Exception):
    def __init__(self, kind, detail):
        super().__init__(kind)
        self.kind = kind
        self.detail = detail


def group_members(pgid):
    """Process ids in a process group, read from /proc."""
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(b")") + 2:].split()
        if int(fields[2]) == pgid and fields[0] != b"Z":
            out.append(int(entry))
    return out


def scripts_in(pgid):
    found = []
    for pid in group_members(pgid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if any(a.endswith(b".do") for a in argv[:3]):
            found.append(pid)
    return found


def drain(pgid, timeout):
    """Waits until no process of the group is left; True when none is."""
    end = time.time() + timeout
    while time.time() < end:
        if not group_members(pgid):
            return True
        time.sleep(0.05)
    return False


def bad_prereqs(root):
    """Prerequisites files that do not read back whole as records."""
    bad = []
    base = os.path.join(root, ".ombu")
    for dirpath, _, filenames in os.walk(base):
        for f in filenames:
            if not f.endswith(".prereqs"):
                continue
            path = os.path.join(dirpath, f)
            with open(path, "rb") as fh:
                data = fh.read()
            lines = data.split(b"\n")
            if data and (lines[-1] != b"" or any(not RECORD.match(line) for line in lines[:-1])):
                bad.append("%s: %r" % (os.path.relpath(path, root), data[-200:]))
    return bad


def check_tokens(err, jobs, stats, what):
    lines = token_warnings(err) if jobs > 1 else []
    if lines:
        stats["token warnings"] += 1
        raise Failure("token", "%s: %s" % (what, "\n".join(lines)))


def run(cmd, root, env, timeout, stats, what):
    """One build to its end, counted; a hang or a token warning fails."""
    stats["builds"] += 1
    try:
        status, err = run_group(cmd, root, env, timeout)
    except Hang as hang:
        stats["hangs"] += 1
        raise Failure("hang", "%s: %s" % (what, hang))
    check_tokens(err, int(cmd[1][2:]), stats, what)
    return status, err


def read_log(log):
    if not os.path.exists(log):
        return []
    with open(log) as f:
        names = f.read().split()
    os.remove(log)
    return names


def one_case(args, seed, kind, jobs, stats, instant=None):
    """Returns None or a Failure (with .instant set)."""
    rng = random.Random("%d %s %d" % (seed, kind, jobs))
    work = tempfile.mkdtemp(prefix="ombu-interrupt-")
    root = os.path.join(work, "tree")
    os.makedirs(root)
    log = os.path.join(work, "run.log")
    env = build_env(args.ombu_dir, log)
    ombu = ["ombu", "-j%d" % jobs, "all"]
    failure = None
    pgid = None
    try:
        project = Project(seed, args.size)
        files = project.write(root)
        start = time.time()
        status, err = run(ombu, root, env, args.timeout, stats, "the first build")
        took = time.time() - start
        if status != 0:
            raise Failure("setup", "the first build failed:\n" + err)
        for edit_kind, edit_seed in random_edits(rng, rng.randint(1, 3), SAFE_EDITS):
            project.apply(edit_kind, edit_seed, root)
            files = project.write(root, files)
        read_log(log)

        sleep = rng.choice(["", "", "0.02", "0.1"])
        if instant is None:
            # The rebuild after a few edits is shorter than the first build.
            instant = rng.uniform(0, took * (2 if sleep else 0.5))
        kenv = build_env(args.ombu_dir, log, {"TORTURE_SLEEP": sleep} if sleep else None)
        # Not a pipe: scripts that outlive a killed build would hold it open.
        with open(os.path.join(work, "killed.err"), "w") as errfile:
            proc = subprocess.Popen(ombu, cwd=root, env=kenv, stdout=subprocess.DEVNULL,
                                    stderr=errfile, start_new_session=True)
        pgid = proc.pid
        sig = signal.SIGKILL if kind.endswith("kill") else signal.SIGTERM
        time.sleep(instant)
        killed = False
        if kind.startswith("script"):
            # The first script running at or after the instant.
            while proc.poll() is None and not killed:
                found = scripts_in(pgid)
                if found:
                    try:
                        os.kill(rng.choice(found), sig)
                        killed = True
                    except ProcessLookupError:
                        pass
                else:
                    time.sleep(0.002)
        elif proc.poll() is None:
            try:
                if kind.startswith("group"):
                    os.killpg(pgid, sig)
                else:
                    os.kill(proc.pid, sig)
                killed = True
            except ProcessLookupError:
                pass
        stats["builds"] += 1
        try:
            proc.wait(timeout=args.timeout)
        except subprocess.TimeoutExpired:
            stats["hangs"] += 1
            raise Failure("hang", "the killed build did not end within %d s" % args.timeout)
        with open(os.path.join(work, "killed.err")) as errfile:
            check_tokens(errfile.read(), jobs, stats, "the killed build")
        stats["kills" if killed else "missed"] += 1
        stats["kind " + kind] = stats.get("kind " + kind, 0) + killed
        at_kill = leftovers(root)
        if args.no_drain:
            # The user edits again and builds at once, while what the killed
            # build started may still run on the inputs of before.
            for edit_kind, edit_seed in random_edits(rng, 1, SAFE_EDITS):
                project.apply(edit_kind, edit_seed, root)
            files = project.write(root, files)
        elif not drain(pgid, args.timeout):
            raise Failure("orphans", "processes of the killed build still run after %d s" % args.timeout)
        bad = bad_prereqs(root)
        if bad:
            raise Failure("corrupt", "prerequisites files that do not read back:\n  " + "\n  ".join(bad))
        read_log(log)

        status, recovery_err = run(ombu, root, env, args.timeout, stats, "the build after the kill")
        drain(pgid, args.timeout)
        if status != 0:
            raise Failure("recovery", "the build after the kill exited %d:\n%s" % (status, recovery_err))
        clean = os.path.join(work, "clean")
        os.makedirs(clean)
        project.write(clean)
        c_status, _ = run(ombu, clean, build_env(args.ombu_dir, os.path.join(work, "clean.log")), args.timeout,
                          stats, "the clean build")
        expected = read_tree_outputs(clean, project.targets)
        got = read_tree_outputs(root, project.targets)
        wrong = [n for n in sorted(project.targets) if got[n] != expected[n]]
        if c_status != 0 or wrong:
            stats["wrong outputs"] += len(wrong)
            raise Failure("output", "outputs differ from a clean build after recovery:\n" + "".join(
                "  %s:\n    got   %r\n    clean %r\n" % (n, got[n], expected[n]) for n in wrong)
                + "recovery stderr:\n" + recovery_err)
        # An output file left by the kill is harmless when the next build
        # ignores it (a launch removes it before the script starts); a wait
        # note is not: a later process with the same id would seem to wait.
        left = leftovers(root)
        stats["doing left"] += sum(1 for p in left if p.endswith(".doing"))
        notes = [p for p in left if not p.endswith(".doing")]
        if notes:
            raise Failure("wait-note", "wait notes left after the recovery build: %s (after the kill: %s)"
                          % (" ".join(notes), " ".join(at_kill)))
        bad = bad_prereqs(root)
        if bad:
            raise Failure("corrupt", "after recovery, files that do not read back:\n  " + "\n  ".join(bad))
        read_log(log)
        status, err = run(ombu, root, env, args.timeout, stats, "the build after recovery")
        ran = read_log(log)
        stats["needless runs"] += len([n for n in ran if n != "all"])
        if status != 0 or ran != ["all"]:
            raise Failure("not-quiet", "the build after recovery exited %d and ran: %s\n%s"
                          % (status, " ".join(ran), err))
    except Failure as f:
        failure = f
    finally:
        if pgid is not None and group_members(pgid):
            os.killpg(pgid, signal.SIGKILL)  # the killed build's own leftovers
            drain(pgid, 10)
        if not args.keep:
            rmtree(work)
    if failure:
        failure.instant = instant
    return failure


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ombu-dir", required=True, help="directory holding ombu and its links")
    ap.add_argument("--kinds", default=",".join(KINDS))
    ap.add_argument("--jobs", default="1,2", help="-j levels to use (default 1,2)")
    ap.add_argument("--size", choices=SIZES, help="only projects of this size (default: drawn from the seed)")
    ap.add_argument("--cases", type=int, default=6, help="seeds to try, each with every kind and level")
    ap.add_argument("--minutes", type=float, default=0, help="run new seeds until this much time has passed")
    ap.add_argument("--first-seed", type=int, default=1)
    ap.add_argument("--instant", type=float, help="with one seed, kind and level: kill at this instant (s)")
    ap.add_argument("--no-drain", action="store_true",
                    help="start the next build while processes of the killed one may still run")
    ap.add_argument("--keep-going", action="store_true")
    ap.add_argument("--keep", action="store_true", help="keep the temporary trees")
    ap.add_argument("--timeout", type=int, default=30,
                    help="seconds after which a build counts as hanging (default 30)")
    args = ap.parse_args()
    args.ombu_dir = os.path.abspath(args.ombu_dir)
    if not os.access(os.path.join(args.ombu_dir, "ombu"), os.X_OK):
        sys.exit("no ombu in " + args.ombu_dir)
    kinds = [k for k in args.kinds.split(",") if k]
    levels = [int(j) for j in args.jobs.split(",")]
    for k in kinds:
        if k not in KINDS:
            sys.exit("unknown kind " + k)
    figures = ["cases", "builds", "hangs", "token warnings", "wrong outputs", "needless runs", "kills",
               "missed", "doing left"]
    stats = {jobs: dict.fromkeys(figures, 0) for jobs in levels}
    failures = {jobs: {} for jobs in levels}
    start = time.time()
    seed = args.first_seed
    stop = False
    while not stop:
        if args.minutes:
            if time.time() - start > args.minutes * 60:
                break
        elif seed >= args.first_seed + args.cases:
            break
        for kind in kinds:
            for jobs in levels:
                f = one_case(args, seed, kind, jobs, stats[jobs], args.instant)
                stats[jobs]["cases"] += 1
                if f:
                    failures[jobs][f.kind] = failures[jobs].get(f.kind, 0) + 1
                    print("FAIL [%s] seed %d, %s, -j%d, kill at %.3f s\n%s\nrepeat: python3 %s --ombu-dir %s "
                          "--first-seed %d --cases 1 --kinds %s --jobs %d --instant %.3f%s\n"
                          % (f.kind, seed, kind, jobs, f.instant, f.detail, os.path.relpath(__file__),
                             args.ombu_dir, seed, kind, jobs, f.instant,
                             " --no-drain" if args.no_drain else ""), flush=True)
                    if not args.keep_going:
                        stop = True
                        break
            if stop:
                break
        seed += 1
    for jobs in levels:
        st = stats[jobs]
        print("-j%d: cases %d, builds %d, hangs %d, token warnings %d, wrong outputs %d, needless runs %d | "
              "kills %d (%s), build ended before the kill %d, .doing files left (ignored) %d, failures %d (%s), "
              "%.0f s"
              % (jobs, st["cases"], st["builds"], st["hangs"], st["token warnings"], st["wrong outputs"],
                 st["needless runs"], st["kills"],
                 ", ".join("%s %d" % (k[5:], v) for k, v in sorted(st.items()) if k.startswith("kind ")),
                 st["missed"], st["doing left"], sum(failures[jobs].values()),
                 ", ".join("%s %d" % kv for kv in sorted(failures[jobs].items())) or "none",
                 time.time() - start), flush=True)
    return 1 if any(failures.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
