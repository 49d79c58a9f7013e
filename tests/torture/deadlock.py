#!/usr/bin/env python3
"""A parallel build that must finish: builds a fresh copy of
fixtures/parallel-deadlock (16 targets in three directory levels, default
scripts, a lower target that two branches running at once both need) with
`ombu -jN all`, several times at each level. Each build runs in a process
group of its own; one that has not ended within the limit is killed with
everything it started and counts as a hang. A build that fails, or that warns
that its job server does not hold the tokens it should at its end, fails too.

    deadlock.py --ombu-dir BUILD_DIR [--tries N] [--jobs 2,3] [--limit S]
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from project import Hang, build_env, rmtree, run_group, token_warnings  # noqa: E402

FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", "parallel-deadlock")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ombu-dir", required=True, help="directory holding ombu and its links")
    ap.add_argument("--tries", type=int, default=5, help="fresh builds at each level (default 5)")
    ap.add_argument("--jobs", default="2,3", help="-j levels, comma separated (default 2,3)")
    ap.add_argument("--limit", type=int, default=20, help="seconds a build may take (default 20)")
    args = ap.parse_args()
    ombu_dir = os.path.abspath(args.ombu_dir)
    work = tempfile.mkdtemp(prefix="ombu-deadlock-")
    bad = 0
    try:
        for jobs in [int(j) for j in args.jobs.split(",")]:
            hangs = failed = warned = 0
            for _ in range(args.tries):
                tree = os.path.join(work, "tree")
                rmtree(tree)
                shutil.copytree(FIXTURE, tree)
                env = build_env(ombu_dir, os.path.join(work, "log"))
                try:
                    status, err = run_group(["ombu", "-j%d" % jobs, "all"], tree, env, args.limit)
                except Hang:
                    hangs += 1
                    continue
                failed += status != 0
                warned += bool(token_warnings(err))
                if status != 0 or token_warnings(err):
                    sys.stdout.write(err)
            print("-j%d: %d of %d builds did not finish within %d s, %d failed, %d warned about tokens"
                  % (jobs, hangs, args.tries, args.limit, failed, warned), flush=True)
            bad += hangs + failed + warned
    finally:
        rmtree(work)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
