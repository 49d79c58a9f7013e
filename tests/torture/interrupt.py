#!/usr/bin/env python3
"""Interruption tester: a build of a random project (built once, then
edited) is killed at a random instant, and the tree must stop and recover.

Kinds of kill (--kinds, comma separated):
  group-kill, group-term, group-int   SIGKILL / SIGTERM / SIGINT (Ctrl-C) to
                                      the build's whole process group
  top-kill, top-term, top-int         the same to the top ombu process alone
  script-kill, script-term            SIGKILL / SIGTERM to one running script

Shapes drawn at random for each case (--features, --with):
  trap        some scripts trap INT and TERM with a cleanup that does not
              exit, go on with their work and then bring one more input up to
              date (a nested build started after the signal);
  daemon      some scripts of the killed build leave a process running in a
              session of its own, 0 to 2 closed, that after the script has
              ended (or after the whole build has) runs ombu-ifchange of its
              target (or of all);
  concurrent  one or two more outermost builds of some targets (plain user
              builds, each in a process group of its own) start in the same
              tree while the killed one runs.

Checks, after the kill, once every process of the killed build has ended
(unless --no-drain, when one more edit is made and the next build starts at
once):
  - after a signal to the group or to the top, no script of the killed build
    (its process group, or its build name) was forked later than MARGIN
    seconds after the signal;
  - every .ombu/**/*.prereqs file reads back whole as records, and none
    names its own target or all (only a process left running asks for
    those: its records must not land in a finished job's records);
  - at -j2 and above, no build warns about job-server tokens, and where the
    tester could hold the killed build's pipe open (and no process that holds
    tokens was sent SIGKILL), the pipe holds exactly its tokens once every
    process that used it has ended;
  - no build, and no process left running, reports a dependency cycle (the
    projects have none); no build hangs (--timeout);
  - the next normal build succeeds, its outputs equal those of a clean build
    of a copy of the project, and it leaves no wait note and no prerequisites
    file that does not read back;
  - the build after that runs no script but the top one's.
A failure prints the seed, the kind, the -j level, the kill instant and the
shape drawn, and the command that repeats the case.

    interrupt.py --ombu-dir BUILD_DIR [--cases N | --minutes M] [--kinds ...]
                 [--jobs 1,2] [--features trap,daemon,concurrent] [--with ...]
                 [--first-seed S] [--no-drain] [--keep-going]
"""

import argparse
import array
import fcntl
import os
import random
import re
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from project import (SIZES, Hang, Project, build_env, leftovers, random_edits,  # noqa: E402
                     read_tree_outputs, rmtree, run_group, token_warnings)

KINDS = ["group-kill", "group-term", "group-int", "top-kill", "top-term", "top-int", "script-kill",
         "script-term"]
SIGNALS = {"kill": signal.SIGKILL, "term": signal.SIGTERM, "int": signal.SIGINT}
FEATURES = ["trap", "daemon", "concurrent"]
SAFE_EDITS = ["change", "script_change", "specific_script", "local_create", "mode", "add_dep",
              "delete_target", "touch"]
RECORD = re.compile(rb"(a[^\s].*|[sd]-?[0-9a-f]+ [^\s].*|f[0-9a-f]{64} -?[0-9a-f]+ [^\s].*)\Z")
CYCLE = "Dependency cycle detected"
# A launch by the stopped build that was under way at the signal (its last
# look at the stop, then a fork already decided) may fork a moment after it.
# Forks are timed by the kernel (the start time in /proc/PID/stat, in clock
# ticks of 10 ms, that the script reads back), so the script's own start-up
# does not count; what is left is the time from the tool's last look to its
# fork, under a millisecond unless the process loses the processor in
# between. The figure comes from measuring those forks on the shared two-core
# machine (see the README). A build that began inside the stopped process
# group after the signal (a name of its own) has no such excuse: each of its
# scripts is late.
MARGIN = 0.05
CLOCK_TICK = 1.0 / os.sysconf("SC_CLK_TCK")


class Failure(Exception):
    def __init__(self, kind, detail):
        super().__init__(kind)
        self.kind = kind
        self.detail = detail


class Faults:
    """What one case found: faults that let the case go on are kept, and are
    reported with the one that ends it."""

    def __init__(self, stats):
        self.stats = stats
        self.found = []

    def add(self, kind, detail, builds=False):
        self.found.append((kind, detail, builds))

    def failure(self, last=None):
        found = self.found + ([(last.kind, last.detail, False)] if last else [])
        if any(kind == "records" for kind, _, _ in found):
            # A record of all, or of the target itself, added to a finished
            # job's records makes every later build that judges it meet a
            # cycle: those reports follow from the records and are not told
            # apart.
            follow = [f for f in found if f[0] == "cycle" and f[2]]
            found = [f for f in found if f not in follow]
            if follow:
                found.append(("", "(and %d builds that report the cycles these records make)" % len(follow),
                              False))
        if not found:
            return None
        return Failure(", ".join(k for k, _, _ in found if k),
                       "\n".join(("[%s] %s" % (k, d)) if k else d for k, d, _ in found))


def processes():
    """(pid, process group, session) of every process that has not ended."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                data = f.read()
        except OSError:
            continue
        fields = data[data.rindex(b")") + 2:].split()
        if fields[0] != b"Z":
            yield int(entry), int(fields[2]), int(fields[3])


def group_members(pgid):
    return [pid for pid, group, _ in processes() if group == pgid]


def session_members(sessions):
    return [pid for pid, _, session in processes() if session in sessions]


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


def script_target(pid):
    """The target that a script process makes ($1$2: its second and third
    arguments after the interpreter and the script), or None."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return None
    for i, a in enumerate(argv[:3]):
        if a.endswith(b".do") and len(argv) > i + 2:
            return (argv[i + 1] + argv[i + 2]).decode("utf-8", "replace")
    return None


def running_nested_builds(scripts):
    """The scripts among these that have an ombu process as a child."""
    parents = set()
    for pid, _, _ in processes():
        try:
            with open("/proc/%d/stat" % pid, "rb") as f:
                data = f.read()
        except OSError:
            continue
        comm = data[data.index(b"(") + 1:data.rindex(b")")]
        ppid = int(data[data.rindex(b")") + 2:].split()[1])
        if ppid in scripts and comm.startswith(b"ombu"):
            parents.add(ppid)
    return sorted(parents)


def drain(pgid, timeout):
    """Waits until no process of the group is left; True when none is."""
    end = time.time() + timeout
    while time.time() < end:
        if not group_members(pgid):
            return True
        time.sleep(0.05)
    return False


def grab_jobserver(pgid):
    """A read end of the job server of the build whose process group is pgid,
    opened through a running script's descriptor; None when no script of it
    runs yet."""
    for pid in scripts_in(pgid):
        try:
            with open("/proc/%d/environ" % pid, "rb") as f:
                found = re.search(rb"--jobserver-(?:fds|auth)=(\d+),\d+", f.read())
            if not found:
                continue
            fd = os.open("/proc/%d/fd/%d" % (pid, int(found.group(1))), os.O_RDONLY | os.O_NONBLOCK)
        except OSError:
            continue
        if stat.S_ISFIFO(os.fstat(fd).st_mode):
            return fd
        os.close(fd)
    return None


def tokens_in(fd):
    count = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, count)
    return count[0]


class Daemons:
    """The processes that scripts left running: each script appends the
    process id of its session leader and what it waits for (self or all);
    their builds write their standard error to one file."""

    def __init__(self, work):
        self.list = os.path.join(work, "daemons")
        self.err = os.path.join(work, "daemons.err")
        self.seen = 0

    def sessions(self, which=None):
        if not os.path.exists(self.list):
            return set()
        with open(self.list) as f:
            pairs = [line.split() for line in f if line.strip()]
        return {int(p[0]) for p in pairs if which is None or p[1:] == [which]}

    def drain(self, timeout, which=None):
        """Waits until the processes left running (those that wait for
        `which`, or all) have ended; True when they have."""
        end = time.time() + timeout
        while time.time() < end:
            if not session_members(self.sessions(which)):
                return True
            time.sleep(0.05)
        return False

    def kill(self):
        for pid in session_members(self.sessions()):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def new_errors(self):
        """What their builds wrote to standard error since the last call."""
        if not os.path.exists(self.err):
            return ""
        with open(self.err, "rb") as f:
            f.seek(self.seen)
            data = f.read()
        self.seen += len(data)
        return data.decode("utf-8", "replace")


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


def record_name(line):
    if line.startswith("a"):
        return line[1:]
    return line.split(" ", 2 if line.startswith("f") else 1)[-1]


def foreign_records(root, targets):
    """Records of a target that name the target itself or all: no script of
    the project asks for either, only a process that a script left running."""
    found = []
    for name in targets:
        try:
            with open(os.path.join(root, ".ombu", name + ".prereqs")) as f:
                names = [record_name(line) for line in f.read().splitlines() if line]
        except OSError:
            continue
        odd = [n for n in names if n == name or n == "all"]
        if odd:
            found.append("%s records %s" % (name, " ".join(odd)))
    return found


def check_err(err, what, faults, stats, builds=True):
    """Token warnings and cycle reports in a build's standard error (builds:
    one of the tester's builds, not a process left running). Every -jN build,
    -j1 included, makes a job server and checks it at its end."""
    lines = token_warnings(err)
    if lines:
        stats["token warnings"] += 1
        faults.add("token", "%s: %s" % (what, "\n".join(lines)))
    cycles = [line for line in err.splitlines() if CYCLE in line]
    if cycles:
        stats["cycles"] += 1
        faults.add("cycle", "%s reports a dependency cycle in a project that has none:\n  %s"
                   % (what, "\n  ".join(cycles)), builds)


def run(cmd, root, env, timeout, stats, what):
    """One build to its end, counted; a hang fails the case."""
    stats["builds"] += 1
    try:
        return run_group(cmd, root, env, timeout)
    except Hang as hang:
        stats["hangs"] += 1
        raise Failure("hang", "%s: %s" % (what, hang))


def read_log(log):
    if not os.path.exists(log):
        return []
    with open(log) as f:
        names = f.read().split()
    os.remove(log)
    return names


def read_starts(path):
    """(script, build name, process group, fork instant) of each start line."""
    out = []
    if not os.path.exists(path):
        return out
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split(" ", 2)
            if len(parts) < 3 or ")" not in parts[2]:
                continue  # a line cut by a kill
            fields = parts[2][parts[2].rindex(")") + 2:].split()
            if len(fields) > 19:
                out.append((parts[0], parts[1], int(fields[2]), int(fields[19]) * CLOCK_TICK))
    return out


def late_starts(path, pgid, signalled):
    """Scripts forked after the signal (boot-clock seconds) that no launch
    under way explains: those of a build that began inside the stopped process
    group after the signal (a build name of its own), and those of the stopped
    build (its process group, or its build name, which its nested builds carry
    wherever they run) forked later than MARGIN after it. Also returns the
    latest fork of the stopped build within the margin, or None."""
    late, within = [], []
    for name, build, group, at in read_starts(path):
        # The build name is the outermost build's process id (the stopped
        # build's process group) and the instant it began. A start instant
        # is rounded down to its clock tick: one that is not past the signal
        # may have come before it.
        ours = build.startswith("%d." % pgid)
        if at <= signalled or (group != pgid and not ours):
            continue
        if not ours:
            late.append((name, at - signalled, "by a build of another name in the stopped process group"))
        elif at > signalled + MARGIN:
            late.append((name, at - signalled, "by the stopped build"))
        else:
            within.append(at - signalled)
    return late, max(within, default=None)


def check_late(starts, pgid, signalled, faults, stats):
    if signalled is None:
        return  # no signal to the group or the top: nothing told the tree to stop
    late, within = late_starts(starts, pgid, signalled)
    if within is not None:
        stats["forks within the margin"] += 1
        stats["latest of them"] = max(stats["latest of them"], within)
    if late:
        stats["late starts"] += len(late)
        faults.add("late-start", "scripts forked after the build was told to stop: %s"
                   % ", ".join("%s +%.0f ms %s" % (n, d * 1000, how) for n, d, how in late))


def draw_shape(seed, kind, jobs, project, allowed, forced):
    """The features of one case, drawn from its own generator (so the edits
    and the instant are those that the case had without them)."""
    rng = random.Random("shape %d %s %d" % (seed, kind, jobs))
    names = sorted(project.targets)
    shape = {"trap": [], "trap_slow": "", "daemons": [], "concurrent": []}
    draws = {f: rng.random() for f in FEATURES}
    on = {f for f in FEATURES if f in forced or (f in allowed and draws[f] < 0.5)}
    if "trap" in on:
        shape["trap"] = [n for n in names if rng.random() < 0.4] or [rng.choice(names)]
        # A cleanup longer than a second outlasts the tool's wait for a slot
        # that it lent while waiting for a lock.
        shape["trap_slow"] = rng.choice(["", "0.2", "1.2"])
    if "daemon" in on:
        for name in rng.sample(names, min(len(names), rng.randint(1, 2))):
            goal = rng.choice(["self", "all"])
            delay = rng.uniform(0.2, 0.6) if goal == "self" else rng.uniform(0, 0.8)
            shape["daemons"].append("%s:%s:%.2f" % (name, goal, delay))
    if "concurrent" in on:
        for _ in range(rng.randint(1, 2)):
            targets = ["all"] if rng.random() < 0.4 else rng.sample(names, min(len(names), rng.randint(1, 3)))
            # Their scripts may sleep longer: the killed build's nested
            # builds then wait for their locks, lending their slots.
            shape["concurrent"].append((rng.random(), rng.randint(1, 4), targets,
                                        rng.choice(["0.02", "0.3", "1"])))
    return shape


def describe_shape(shape):
    parts = []
    if shape["trap"]:
        parts.append("trapping scripts: %s%s" % (" ".join(shape["trap"]),
                                                 " (cleanup %s s)" % shape["trap_slow"] if shape["trap_slow"] else ""))
    if shape["daemons"]:
        parts.append("processes left running (target:goal:delay): " + " ".join(shape["daemons"]))
    for frac, jobs, targets, sleep in shape["concurrent"]:
        parts.append("another build: ombu -j%d %s (scripts sleep %s s)" % (jobs, " ".join(targets), sleep))
    return "; ".join(parts) or "plain"


def check_left_running(daemons, timeout, root, project, faults, stats, *which):
    """Waits for the processes left running (those of `which`, else all) and
    checks what they said and that no finished job's records changed."""
    if not daemons.drain(timeout, *which):
        raise Failure("daemon-hang", "processes left running still run after %d s" % timeout)
    check_err(daemons.new_errors(), "a process left running", faults, stats, builds=False)
    odd = foreign_records(root, project.targets)
    if odd:
        stats["foreign records"] += 1
        raise Failure("records", "records that a process left running added to finished jobs:\n  "
                      + "\n  ".join(odd))


def one_case(args, seed, kind, jobs, stats, instant=None):
    """Returns None or a Failure (with .instant and .shape set)."""
    rng = random.Random("%d %s %d" % (seed, kind, jobs))
    work = tempfile.mkdtemp(prefix="ombu-interrupt-")
    root = os.path.join(work, "tree")
    os.makedirs(root)
    log = os.path.join(work, "run.log")
    starts = os.path.join(work, "starts")
    daemons = Daemons(work)
    faults = Faults(stats)
    project = Project(seed, args.size)
    shape = draw_shape(seed, kind, jobs, project, args.features, args.with_)
    features = {"TORTURE_STARTS": starts}
    if shape["trap"]:
        features["TORTURE_TRAP"] = " ".join(shape["trap"])
        if shape["trap_slow"]:
            features["TORTURE_TRAP_SLOW"] = shape["trap_slow"]
    env = build_env(args.ombu_dir, log, features)
    ombu = ["ombu", "-j%d" % jobs, "all"]
    last = None
    victim_name = None
    pgid = None
    others = []
    pipe = None
    try:
        files = project.write(root)
        start = time.time()
        status, err = run(ombu, root, env, args.timeout, stats, "the first build")
        took = time.time() - start
        check_err(err, "the first build", faults, stats)
        if status != 0:
            raise Failure("setup", "the first build failed:\n" + err)
        for edit_kind, edit_seed in random_edits(rng, rng.randint(1, 3), SAFE_EDITS):
            project.apply(edit_kind, edit_seed, root)
            files = project.write(root, files)
        read_log(log)

        sleep = rng.choice(["", "", "0.02", "0.1"])
        drawn = rng.uniform(0, took * (2 if sleep else 0.5))  # the rebuild after a few edits is shorter
        instant = drawn if instant is None else instant
        # Only the killed build's scripts (and those of the builds beside it)
        # leave processes running.
        extra = dict(features)
        if sleep:
            extra["TORTURE_SLEEP"] = sleep
        if shape["daemons"]:
            extra.update(TORTURE_DAEMON=" ".join(shape["daemons"]), TORTURE_BGLIST=daemons.list,
                         TORTURE_BGERR=daemons.err)
        kenv = build_env(args.ombu_dir, log, extra)
        if os.path.exists(starts):
            os.remove(starts)
        # Not pipes: processes that outlive a killed build would hold them open.
        killed_err = os.path.join(work, "killed.err")
        with open(killed_err, "w") as errfile:
            proc = subprocess.Popen(ombu, cwd=root, env=kenv, stdout=subprocess.DEVNULL,
                                    stderr=errfile, start_new_session=True)
        began = time.time()
        pgid = proc.pid
        # The other builds start at random instants around the kill.
        schedule = sorted((frac * (instant * 1.2 + 0.05), j, targets, nap)
                          for frac, j, targets, nap in shape["concurrent"])

        def start_others(until):
            while schedule and schedule[0][0] <= until:
                _, j, targets, nap = schedule.pop(0)
                path = os.path.join(work, "other%d.err" % len(others))
                with open(path, "w") as errfile:
                    p = subprocess.Popen(["ombu", "-j%d" % j] + targets, cwd=root,
                                         env=dict(kenv, TORTURE_SLEEP=nap), stdout=subprocess.DEVNULL,
                                         stderr=errfile, start_new_session=True)
                others.append((p, j, targets, path))

        next_look = 0
        while True:
            now = time.time() - began
            start_others(now)
            if now >= instant:
                break
            if pipe is None and now >= next_look and proc.poll() is None:
                pipe = grab_jobserver(pgid)
                next_look = now + 0.01
            time.sleep(min(0.002, max(0, instant - now)))
        sig = SIGNALS[kind.split("-")[1]]
        killed = False
        signalled = None
        if kind.startswith("script"):
            # The first script running at or after the instant: a third of
            # the time all's (the build ends soon after, while the jobs of its
            # orphaned nested build still stop), a third of the time one that
            # runs a nested build, whose jobs it orphans.
            which = rng.choice(["all", "nested", "any"])
            while proc.poll() is None and not killed:
                found = scripts_in(pgid)
                if found:
                    if which == "all":
                        chosen = [p for p in found if script_target(p) == "all"]
                    elif which == "nested":
                        chosen = running_nested_builds(found)
                    else:
                        chosen = []
                    victim = rng.choice(chosen or found)
                    victim_name = script_target(victim)
                    try:
                        os.kill(victim, sig)
                        killed = True
                        stats["killed all's script"] += victim_name == "all"
                    except ProcessLookupError:
                        pass
                else:
                    time.sleep(0.002)
        elif proc.poll() is None:
            try:
                signalled = time.clock_gettime(time.CLOCK_BOOTTIME)
                if kind.startswith("group"):
                    os.killpg(pgid, sig)
                else:
                    os.kill(proc.pid, sig)
                killed = True
            except ProcessLookupError:
                signalled = None
        while schedule and proc.poll() is None:
            time.sleep(max(0, min(0.01, schedule[0][0] - (time.time() - began))))
            start_others(time.time() - began)
        stats["builds"] += 1
        try:
            proc.wait(timeout=args.timeout)
        except subprocess.TimeoutExpired:
            stats["hangs"] += 1
            raise Failure("hang", "the killed build did not end within %d s" % args.timeout)
        stats["kills" if killed else "missed"] += 1
        stats["kind " + kind] = stats.get("kind " + kind, 0) + killed
        with open(killed_err) as errfile:
            check_err(errfile.read(), "the killed build", faults, stats)
        for p, j, targets, path in others:
            what = "the other build ombu -j%d %s" % (j, " ".join(targets))
            stats["builds"] += 1
            try:
                p.wait(timeout=args.timeout)
            except subprocess.TimeoutExpired:
                stats["hangs"] += 1
                raise Failure("hang", "%s did not end within %d s" % (what, args.timeout))
            with open(path) as errfile:
                check_err(errfile.read(), what, faults, stats)  # its status is a race's: not judged
        at_kill = leftovers(root)
        drained = False
        if args.no_drain:
            # The user edits again and builds at once, while what the killed
            # build started may still run on the inputs of before.
            for edit_kind, edit_seed in random_edits(rng, 1, SAFE_EDITS):
                project.apply(edit_kind, edit_seed, root)
            files = project.write(root, files)
        else:
            if not drain(pgid, args.timeout):
                raise Failure("orphans", "processes of the killed build still run after %d s" % args.timeout)
            drained = True
            check_late(starts, pgid, signalled, faults, stats)
            # A process that brings its own target up to date has done so by
            # now; those that wait for the top build may meet the next one.
            check_left_running(daemons, args.timeout, root, project, faults, stats, "self")
        bad = bad_prereqs(root)
        if bad:
            raise Failure("corrupt", "prerequisites files that do not read back:\n  " + "\n  ".join(bad))
        read_log(log)

        status, recovery_err = run(ombu, root, env, args.timeout, stats, "the build after the kill")
        if not drain(pgid, args.timeout):
            raise Failure("orphans", "processes of the killed build still run after %d s" % args.timeout)
        if not drained:
            check_late(starts, pgid, signalled, faults, stats)
        check_left_running(daemons, args.timeout, root, project, faults, stats)
        check_err(recovery_err, "the build after the kill", faults, stats)
        if pipe is not None and kind not in ("group-kill", "top-kill"):
            # Every process that used the killed build's job server has ended:
            # its tokens are all back, no more and no fewer.
            held = tokens_in(pipe)
            stats["pipes counted"] += 1
            if held != jobs - 1:
                faults.add("pipe", "the killed build's job server holds %d tokens once every process that "
                           "used it has ended; -j%d gives %d" % (held, jobs, jobs - 1))
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
        # ignores it (a launch removes it before the script starts). A wait
        # note counts only while its writer holds a lock on it, and a process
        # sent SIGKILL cannot remove its own: after a SIGKILL to the group
        # the notes are counted; otherwise every process that waited ended
        # its wait and must have removed its notes.
        left = leftovers(root)
        stats["doing left"] += sum(1 for p in left if p.endswith(".doing"))
        notes = [p for p in left if not p.endswith(".doing")]
        if kind == "group-kill":
            stats["notes left"] += len(notes)
        elif notes:
            raise Failure("wait-note", "wait notes left after the recovery build: %s (after the kill: %s)"
                          % (" ".join(notes), " ".join(at_kill)))
        bad = bad_prereqs(root)
        if bad:
            raise Failure("corrupt", "after recovery, files that do not read back:\n  " + "\n  ".join(bad))
        read_log(log)
        status, err = run(ombu, root, env, args.timeout, stats, "the build after recovery")
        check_err(err, "the build after recovery", faults, stats)
        ran = read_log(log)
        stats["needless runs"] += len([n for n in ran if n != "all"])
        if status != 0 or ran != ["all"]:
            raise Failure("not-quiet", "the build after recovery exited %d and ran: %s\n%s"
                          % (status, " ".join(ran), err))
    except Failure as f:
        last = f
    finally:
        for p, _, _, _ in others:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        if pgid is not None and group_members(pgid):
            os.killpg(pgid, signal.SIGKILL)  # the killed build's own leftovers
            drain(pgid, 10)
        daemons.kill()
        if pipe is not None:
            os.close(pipe)
    failure = faults.failure(last)
    if args.keep or (failure and args.keep_failed):
        if failure:
            failure.detail += "\nkept: " + work
    else:
        rmtree(work)
    if failure:
        failure.instant = instant
        failure.shape = describe_shape(shape) + ("; the script killed made %s" % victim_name
                                                   if victim_name else "")
    return failure


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ombu-dir", required=True, help="directory holding ombu and its links")
    ap.add_argument("--kinds", default=",".join(KINDS))
    ap.add_argument("--jobs", default="1,2", help="-j levels to use (default 1,2)")
    ap.add_argument("--size", choices=SIZES, help="only projects of this size (default: drawn from the seed)")
    ap.add_argument("--features", default=",".join(FEATURES),
                    help="shapes each case may draw (each with odds of one half), comma separated; "
                         "'' for none (default: %s)" % ",".join(FEATURES))
    ap.add_argument("--with", dest="with_", default="", help="shapes that every case has, comma separated")
    ap.add_argument("--cases", type=int, default=6, help="seeds to try, each with every kind and level")
    ap.add_argument("--minutes", type=float, default=0, help="run new seeds until this much time has passed")
    ap.add_argument("--first-seed", type=int, default=1)
    ap.add_argument("--instant", type=float, help="with one seed, kind and level: kill at this instant (s)")
    ap.add_argument("--no-drain", action="store_true",
                    help="start the next build while processes of the killed one may still run")
    ap.add_argument("--keep-going", action="store_true")
    ap.add_argument("--keep", action="store_true", help="keep the temporary trees")
    ap.add_argument("--keep-failed", action="store_true", help="keep the temporary trees of failing cases")
    ap.add_argument("--timeout", type=int, default=30,
                    help="seconds after which a build counts as hanging (default 30)")
    args = ap.parse_args()
    # Started in the background by a shell without job control, the tester
    # inherits SIGINT ignored, and so would every build it starts: a build
    # leaves a signal ignored at its start ignored, and Ctrl-C would then
    # stop nothing. Caught here, it is back at its default in the builds.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    # Stopped by SIGTERM, the tester still kills what the case started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("interrupt.py: terminated"))
    args.ombu_dir = os.path.abspath(args.ombu_dir)
    if not os.access(os.path.join(args.ombu_dir, "ombu"), os.X_OK):
        sys.exit("no ombu in " + args.ombu_dir)
    kinds = [k for k in args.kinds.split(",") if k]
    levels = [int(j) for j in args.jobs.split(",")]
    args.features = [f for f in args.features.split(",") if f]
    args.with_ = [f for f in args.with_.split(",") if f]
    for k in kinds:
        if k not in KINDS:
            sys.exit("unknown kind " + k)
    for f in args.features + args.with_:
        if f not in FEATURES:
            sys.exit("unknown shape " + f)
    figures = ["cases", "builds", "hangs", "token warnings", "wrong outputs", "needless runs", "late starts",
               "cycles", "foreign records", "pipes counted", "kills", "missed", "doing left",
               "forks within the margin", "latest of them", "notes left", "killed all's script"]
    stats = {jobs: dict.fromkeys(figures, 0) for jobs in levels}
    failures = {jobs: {} for jobs in levels}
    start = time.time()
    seed = args.first_seed
    stop = False
    shape_flags = " --features '%s'%s" % (",".join(args.features),
                                          " --with " + ",".join(args.with_) if args.with_ else "")
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
                    print("FAIL [%s] seed %d, %s, -j%d, kill at %.3f s, shape: %s\n%s\nrepeat: python3 %s "
                          "--ombu-dir %s --first-seed %d --cases 1 --kinds %s --jobs %d --instant %.3f%s%s%s\n"
                          % (f.kind, seed, kind, jobs, f.instant, f.shape, f.detail, os.path.relpath(__file__),
                             args.ombu_dir, seed, kind, jobs, f.instant, shape_flags,
                             " --size " + args.size if args.size else "",
                             " --no-drain" if args.no_drain else ""), flush=True)
                    if not args.keep_going:
                        stop = True
                        break
            if stop:
                break
        seed += 1
    for jobs in levels:
        st = stats[jobs]
        print("-j%d: cases %d, builds %d, hangs %d, token warnings %d, wrong outputs %d, needless runs %d, "
              "late starts %d, cycle reports %d, foreign records %d | kills %d (%s), build ended before the kill "
              "%d, pipes counted %d, .doing files left (ignored) %d, wait notes left by a SIGKILL to the group (ignored) "
              "%d, cases with a fork after the signal within the margin "
              "%d (the latest +%.0f ms), all's script killed %d, failures %d (%s), %.0f s"
              % (jobs, st["cases"], st["builds"], st["hangs"], st["token warnings"], st["wrong outputs"],
                 st["needless runs"], st["late starts"], st["cycles"], st["foreign records"], st["kills"],
                 ", ".join("%s %d" % (k[5:], v) for k, v in sorted(st.items()) if k.startswith("kind ")),
                 st["missed"], st["pipes counted"], st["doing left"], st["notes left"], st["forks within the margin"],
                 st["latest of them"] * 1000, st["killed all's script"], sum(failures[jobs].values()),
                 ", ".join("%s %d" % kv for kv in sorted(failures[jobs].items())) or "none",
                 time.time() - start), flush=True)
    return 1 if any(failures.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
