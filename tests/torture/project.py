"""Random projects for the torture testers, and the edits made to them.

A project is a DAG of targets in a few directory levels. Every target T is
made by one shell script template, found by the ordinary script search
(T.do, default.EXT.do, default.do, then the parent directories):

- it reads T.deps (a catch-all default.do makes a target without one a
  header only, declaring T.deps absent; other scripts fail) (first line: how to transform each input, then one input a
  line) and brings it up to date with ombu-ifchange;
- it brings the inputs (sources and other targets) up to date;
- T.local, when it exists, is one more input; while it does not exist the
  script declares it absent with ombu-ifcreate, as an override file would be;
- it writes a header naming the script and its version, then each input
  transformed, so that the script that served a target shows in its output.

Some transforms drop lines (first line only, comment lines stripped, line
count), so a rebuilt target can come out byte-identical. Every script appends
its target's name to the file named by $TORTURE_LOG, and, when asked, its
build name and its /proc stat line (process group, fork instant) to
$TORTURE_STARTS. The testers steer a few more shapes through the environment,
none of which changes an output: the targets named in $TORTURE_TRAP trap INT
and TERM with a cleanup that does not exit and bring their first input up to
date after a moment of work; those in $TORTURE_DAEMON leave a process running
that later runs ombu-ifchange of the target or of all; $TORTURE_LATE has a
target's script save a file again after reading it and record one more name
a second later.

Edits are (kind, seed) pairs: applying one draws its details from its own
seed over the project as it stands, and an edit that does not apply is a
no-op, so any sub-list of an edit list can be replayed (for shrinking).
"""

import os
import random
import shutil
import signal
import subprocess

DIRS = ["", "a/", "a/b/", "c/"]
LARGE_DIRS = ["", "a/", "a/b/", "a/b/d/", "c/", "c/e/"]
SIZES = ["small", "large"]
EXTS = [".out", ".h", ".p.q", ""]
MODES = ["cat", "head", "strip", "count"]
ABSENT = None

SCRIPT = """#!/bin/sh -e
{comments}t="$1$2"
echo "$t" >> "$TORTURE_LOG"
# Where and when this script started: its /proc stat line holds its process
# group and the instant of its fork (the interruption tester looks for scripts
# started after the build was told to stop).
if [ -n "$TORTURE_STARTS" ]; then read -r st < /proc/$$/stat; echo "$t ${{OMBUBUILD:--}} $st" >> "$TORTURE_STARTS"; fi
# A process left running, in a session of its own with 0 to 2 closed: once
# this script has ended (self) or the whole build has (all), and a delay
# later, it brings this target or all up to date.
for d in ${{TORTURE_DAEMON-}}; do
  case $d in
    "$t":*)
      rest=${{d#"$t":}}
      if [ "${{rest%%:*}}" = all ]; then
        wait_for=$(cut -d' ' -f5 /proc/$$/stat); goal=all   # the top build leads the process group
      else
        wait_for=$$; goal=$t
      fi
      TORTURE_DAEMON= setsid sh -c 'while kill -0 "$1" 2>/dev/null; do sleep 0.05; done
        n=0; while [ -e "$2.doing" ] && [ $n -lt 40 ]; do n=$((n + 1)); sleep 0.05; done
        sleep "$3"; exec ombu-ifchange "$2" 2>> "$4"' daemon "$wait_for" "$goal" "${{rest#*:}}" \
        "$TORTURE_BGERR" <&- >&- 2>&- &
      echo "$! ${{rest%%:*}}" >> "$TORTURE_BGLIST";;
  esac
done
# What a process left running by this script would inherit (the tester may
# hand it to a later build).
[ -z "$TORTURE_ENV" ] || {{ echo "OMBUBUILD=${{OMBUBUILD-}}"; echo "OMBULOCKS=${{OMBULOCKS-}}"; }} > "$TORTURE_ENV"
if [ ! -f "$t.deps" ]; then
  # A catch-all script makes anything it has no list for; the others fail.
  [ {fallback} = 1 ] || {{ echo "$t: no deps file" >&2; exit 1; }}
  ombu-ifcreate "$t.deps"
  echo "{sid} v{version} $t" > "$3"
  exit 0
fi
ombu-ifchange "$t.deps"
mode=$(head -n 1 "$t.deps")
deps=$(tail -n +2 "$t.deps")
extra=
if [ -e "$t.local" ]; then ombu-ifchange "$t.local"; extra="$t.local"; else ombu-ifcreate "$t.local"; fi
case " ${{TORTURE_TRAP-}} " in
  *" $t "*)
    # A cleanup trap that does not exit: after INT or TERM the script goes on
    # with its work and then brings its first input up to date.
    tmp="$t.tmp.$$"
    trap 'rm -f "$tmp"; [ -z "$TORTURE_TRAP_SLOW" ] || sleep "$TORTURE_TRAP_SLOW"' INT TERM
    echo partial > "$tmp"
    first=; others=
    for d in $deps; do if [ -z "$first" ]; then first=$d; else others="$others $d"; fi; done
    failed=
    [ -z "$others" ] || ombu-ifchange $others || failed=1
    sleep "${{TORTURE_SLEEP:-0.05}}" || :
    [ -z "$first" ] || ombu-ifchange "$first" || failed=1
    rm -f "$tmp"
    [ -z "$failed" ] || exit 1;;
  *)
    [ -z "$deps" ] || ombu-ifchange $deps
    [ -z "$TORTURE_SLEEP" ] || sleep "$TORTURE_SLEEP";;
esac
{{
echo "{sid} v{version} $t"
for d in $deps $extra; do
  case $mode in
    cat) cat "$d";;
    head) head -n 1 "$d";;
    strip) grep -v '^#' "$d" || true;;
    count) wc -l < "$d";;
  esac
done
}} > "$3"
# A second save of a source within the build, after every script read it.
if [ "$t" = all ] && [ -n "$TORTURE_RESAVE" ]; then cp "${{TORTURE_RESAVE#* }}" "${{TORTURE_RESAVE%% *}}"; fi
# TORTURE_LATE="TARGET NAME FILE": NAME, just read, is saved again (an
# editor's save in the same second), and a second later the script records
# one more name.
if [ "${{TORTURE_LATE%% *}}" = "$t" ]; then
  late=${{TORTURE_LATE#* }}; cp "${{late#* }}" "${{late%% *}}"; sleep 1.1; ombu-ifchange "$t.deps"
fi
"""


def transform(mode, text):
    """What one input contributes to an output, as the script's case does."""
    lines = text.splitlines(keepends=True)
    if mode == "cat":
        return text
    if mode == "head":
        return lines[0] if lines else ""
    if mode == "strip":
        return "".join(line for line in lines if not line.startswith("#"))
    return "%d\n" % text.count("\n")


def script_candidates(name):
    """The scripts tried for a target, most specific first."""
    slash = name.rfind("/")
    base = name[slash + 1:]
    search = name[:slash + 1]
    result = []
    while True:
        result.append(search + base + ".do")
        pos = base.find(".")
        if pos < 0:
            pos = len(base)
        while True:
            ext = base[pos:]
            result.append(search + "default" + ext + ".do")
            if ext == "":
                break
            nxt = base.find(".", pos + 1)
            pos = nxt if nxt >= 0 else len(base)
        if len(search) < 2:
            return result
        cut = search.rfind("/", 0, len(search) - 1)
        search = search[:cut + 1] if cut >= 0 else ""


def random_text(rng, lines=None):
    count = rng.randint(0, 4) if lines is None else lines
    out = []
    for _ in range(count):
        if rng.random() < 0.3:
            out.append("# note %d\n" % rng.randint(0, 99))
        else:
            out.append("line %d\n" % rng.randint(0, 999))
    return "".join(out)


class Project:
    """Sources, targets and scripts: everything but what the build makes."""

    # When set, no edit brings back a name that an edit removed.
    no_recreate = False
    # When set, a default.do makes a target that has no .deps file.
    catch_all = True

    def __init__(self, seed, size=None):
        rng = random.Random(seed)
        # The size is drawn from the seed unless asked for: small projects
        # (3 to 9 targets) find faults of the rules quickly; large ones (up to
        # 60 targets in four directory levels, few top targets, prerequisites
        # shared by branches that run at once) find those of parallel builds.
        self.size = size or random.Random("size %d" % seed).choice(SIZES)
        self.dirs = DIRS if self.size == "small" else LARGE_DIRS
        self.sources = {}   # name -> text (plain sources and T.local files)
        self.links = {}     # name -> what the symbolic link at name points to (missing)
        self.targets = {}   # name -> {"deps": [...], "mode": str}, in rank order
        self.scripts = {}   # path -> [version, comment count]
        self.removed = []   # sources deleted by an edit, that may come back
        self.gone = set()   # every name an edit removed
        # What the tester must do around the next build, beyond writing the
        # files: ("resave", name, text, "during" or "after"), ("mtime", name,
        # nanoseconds), ("concurrent",), ("inherit",), ("late", target, name,
        # text of the second save).
        self.actions = []
        small = self.size == "small"
        for i in range(rng.randint(3, 7) if small else rng.randint(8, 20)):
            self.sources["%ss%d.src" % (rng.choice(self.dirs), i)] = random_text(rng, rng.randint(1, 4))
        names = []
        for i in range(rng.randint(3, 9) if small else rng.randint(20, 60)):
            name = "%st%d%s" % (rng.choice(self.dirs), i, rng.choice(EXTS))
            if small:
                pool = list(self.sources) + names
                deps = rng.sample(pool, rng.randint(1, min(3, len(pool))))
            else:
                # Mostly lower targets, the recent ones more often, so that
                # the graph is deep and several branches meet below.
                count = rng.randint(1, 4)
                deps = []
                for _ in range(count):
                    if names and rng.random() < 0.7:
                        dep = names[max(0, len(names) - 1 - int(rng.expovariate(0.15)))]
                    else:
                        dep = rng.choice(sorted(self.sources))
                    if dep not in deps:
                        deps.append(dep)
            self.targets[name] = {"deps": deps, "mode": rng.choice(MODES)}
            names.append(name)
        if small:
            top = list(names)
        else:
            # Only the targets nobody uses, and a few others: all's script
            # then starts branches that need the same lower targets at once.
            used = {d for t in self.targets.values() for d in t["deps"]}
            top = [n for n in names if n not in used or rng.random() < 0.1]
            rng.shuffle(top)
        self.targets["all"] = {"deps": top, "mode": "cat"}
        self.scripts["all.do"] = [1, 0]
        if small:
            defaults = ["default.do", "default.out.do", "a/default.out.do", "default.q.do",
                        "default.p.q.do", "a/b/default.h.do", "c/default.do"]
        else:
            defaults = [d + p for d in self.dirs
                        for p in ["default.do", "default.out.do", "default.q.do", "default.p.q.do",
                                  "default.h.do"] if rng.random() < 0.6]
        for path in defaults:
            if rng.random() < 0.5:
                self.scripts[path] = [1, 0]
        for name in names:
            if self.script_for(name) is None or rng.random() < 0.15:
                self.scripts[name + ".do"] = [1, 0]

    # -- what is on disk ------------------------------------------------

    def files(self):
        """Every file of the project that the build does not make: path -> (text, mode)."""
        result = {}
        for name, text in self.sources.items():
            result[name] = (text, 0o644)
        for name, target in self.targets.items():
            result[name + ".deps"] = (target["mode"] + "\n" + "".join(d + "\n" for d in target["deps"]),
                                      0o644)
        for path, (version, comments) in self.scripts.items():
            text = SCRIPT.format(comments="".join("# comment %d\n" % i for i in range(comments)),
                                 sid=path, version=version,
                                 fallback=int(self.catch_all and os.path.basename(path) == "default.do"))
            result[path] = (text, 0o755)
        return result

    def script_for(self, name):
        for candidate in script_candidates(name):
            if candidate in self.scripts:
                return candidate
        return None

    def write(self, root, previous=None):
        """Brings the files under root from the state `previous` (a files()) to now."""
        now = self.files()
        previous = previous or {}
        for path in previous:
            if path not in now:
                os.remove(os.path.join(root, path))
        for path, (text, mode) in now.items():
            if previous.get(path) == (text, mode):
                continue
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            if os.path.islink(full):
                os.remove(full)  # a source coming back where a link was
            with open(full, "w") as f:
                f.write(text)
            os.chmod(full, mode)
        for path, dest in self.links.items():
            full = os.path.join(root, path)
            if not os.path.islink(full):
                if os.path.lexists(full):
                    os.remove(full)
                os.makedirs(os.path.dirname(full), exist_ok=True)
                os.symlink(dest, full)
        return now

    def copy(self):
        other = Project.__new__(Project)
        other.sources = dict(self.sources)
        other.targets = {n: {"deps": list(t["deps"]), "mode": t["mode"]} for n, t in self.targets.items()}
        other.scripts = {p: list(v) for p, v in self.scripts.items()}
        other.removed = list(self.removed)
        other.gone = set(self.gone)
        other.no_recreate, other.catch_all = self.no_recreate, self.catch_all
        other.size, other.dirs = self.size, self.dirs
        other.links, other.actions = dict(self.links), list(self.actions)
        return other

    # -- edits ----------------------------------------------------------

    def users(self, name):
        return [t for t, v in self.targets.items() if name in v["deps"]]

    def plain_sources(self):
        return sorted(n for n in self.sources if not n.endswith(".local"))

    def apply(self, kind, seed, root):
        """Applies one edit to the project and to the tree at root (which holds
        the project's files and whatever the builds made). Returns a
        description, or None when the edit does not apply."""
        rng = random.Random(seed)
        edit = getattr(self, "edit_" + kind)
        return edit(rng, root)

    def edit_change(self, rng, root):
        names = self.plain_sources() + sorted(n for n in self.sources if n.endswith(".local"))
        if not names:
            return None
        name = rng.choice(names)
        how = self.change_text(rng, name)
        return "change %s (%s)" % (name, how)

    def change_text(self, rng, name):
        lines = self.sources[name].splitlines(keepends=True)
        how = rng.choice(["line", "comment", "append", "first"])
        if how == "line" and lines:
            lines[rng.randrange(len(lines))] = "line %d\n" % rng.randint(1000, 9999)
        elif how == "comment":
            lines.insert(rng.randint(0, len(lines)) if lines else 0, "# added %d\n" % rng.randint(0, 999))
        elif how == "first" and lines:
            lines.append("tail %d\n" % rng.randint(0, 999))  # invisible to head and first lines
        else:
            lines.append("line %d\n" % rng.randint(0, 999))
        self.sources[name] = "".join(lines)
        return how

    def edit_touch(self, rng, root):
        names = sorted(self.files())
        name = rng.choice(names)
        path = os.path.join(root, name)
        if not os.path.exists(path):
            return None
        if rng.random() < 0.5:
            os.utime(path)
            return "touch %s" % name
        st = os.stat(path)
        back = st.st_mtime - rng.randint(10, 100000)
        os.utime(path, (back, back))
        return "touch %s into the past" % name

    def edit_delete_target(self, rng, root):
        name = rng.choice(sorted(self.targets))
        path = os.path.join(root, name)
        if not os.path.exists(path):
            return None
        os.remove(path)
        return "delete target %s" % name

    def edit_specific_script(self, rng, root):
        name = rng.choice(sorted(t for t in self.targets if t != "all"))
        found = self.script_for(name)
        cands = script_candidates(name)
        choices = []
        for c in cands[:cands.index(found)] if found else cands:
            if c[:c.rfind("/") + 1] in self.dirs:
                choices.append(c)
        if not choices:
            return None
        path = rng.choice(choices)
        if self.no_recreate and path in self.gone:
            return None
        self.scripts[path] = [rng.randint(1, 3), 0]
        return "add script %s (served %s by %s)" % (path, name, found)

    def edit_script_change(self, rng, root):
        path = rng.choice(sorted(self.scripts))
        if rng.random() < 0.5:
            self.scripts[path][0] += 1
            return "change script %s (new version)" % path
        self.scripts[path][1] += 1
        return "change script %s (comment only)" % path

    def edit_remove_script(self, rng, root):
        path = rng.choice(sorted(p for p in self.scripts if p != "all.do"))
        keep = self.scripts.pop(path)
        if any(self.script_for(t) is None for t in self.targets):
            self.scripts[path] = keep
            return None
        self.gone.add(path)
        return "remove script %s" % path

    def edit_local_create(self, rng, root):
        name = rng.choice(sorted(self.targets))
        if name + ".local" in self.sources or (self.no_recreate and name + ".local" in self.gone):
            return None
        self.sources[name + ".local"] = random_text(rng, rng.randint(1, 3))
        return "create %s.local" % name

    def edit_local_remove(self, rng, root):
        names = sorted(n for n in self.sources if n.endswith(".local"))
        if not names:
            return None
        name = rng.choice(names)
        del self.sources[name]
        self.gone.add(name)
        return "remove %s" % name

    def edit_drop_source(self, rng, root):
        names = self.plain_sources()
        if not names:
            return None
        name = rng.choice(names)
        for user in self.users(name):
            self.targets[user]["deps"].remove(name)
        del self.sources[name]
        self.removed.append(name)
        self.gone.add(name)
        return "remove source %s, no longer used" % name

    def edit_break_source(self, rng, root):
        names = [n for n in self.plain_sources() if self.users(n)]
        if not names:
            return None
        name = rng.choice(names)
        del self.sources[name]
        self.removed.append(name)
        self.gone.add(name)
        return "remove source %s, still used by %s" % (name, " ".join(self.users(name)))

    def edit_restore_source(self, rng, root):
        if not self.removed or self.no_recreate:
            return None
        name = self.removed.pop(rng.randrange(len(self.removed)))
        self.links.pop(name, None)
        self.sources[name] = random_text(rng, rng.randint(1, 3))
        if not self.users(name):
            user = rng.choice(sorted(self.targets))
            self.targets[user]["deps"].append(name)
        return "bring back source %s, used by %s" % (name, " ".join(self.users(name)))

    def edit_add_dep(self, rng, root):
        ranked = list(self.targets)
        i = rng.randrange(len(ranked))
        pool = self.plain_sources() + ranked[:i]
        pool = [p for p in pool if p not in self.targets[ranked[i]]["deps"]]
        if not pool:
            return None
        dep = rng.choice(pool)
        self.targets[ranked[i]]["deps"].append(dep)
        return "%s now uses %s" % (ranked[i], dep)

    def edit_mode(self, rng, root):
        name = rng.choice(sorted(t for t in self.targets if t != "all"))
        self.targets[name]["mode"] = rng.choice(MODES)
        return "%s transforms with %s" % (name, self.targets[name]["mode"])

    def edit_same_second(self, rng, root):
        """Two saves of a source with the same size: the tester makes the
        first at the start of a second and the second within that second,
        either at the end of the next build (after every script read the
        first) or right after that build."""
        names = [n for n in self.plain_sources() if self.users(n)]
        if not names:
            return None
        name = rng.choice(names)
        first = "line %d\n" % rng.randint(100, 999) + random_text(rng, rng.randint(0, 2))
        digit = rng.randrange(5, 8)
        second = first[:digit] + str((int(first[digit]) + 1) % 10) + first[digit + 1:]
        when = rng.choice(["during", "after"])
        self.sources[name] = first
        self.actions.append(("resave", name, second, when))
        return "save %s twice in one second, the second %s the build" % (name, when)

    def edit_later_record(self, rng, root):
        """A target's override file saved twice in one second, the second save
        by the target's own script right after it read the first (an editor
        saving while the build runs), the script then recording one more name
        a second later: the records file is written in a later second than
        the record of the first save was taken. The target is one that only
        all needs: another target's judgement later in the same build would
        see the second save and rebuild it then, which is sound but leaves
        the build's outputs from the second save where the model (and the
        clean build of the sources as edited) has the first."""
        needed = {d for t, target in self.targets.items() if t != "all" for d in target["deps"]}
        names = sorted(t for t in self.targets if t != "all" and t not in needed)
        if not names:
            return None
        name = rng.choice(names)
        local = name + ".local"
        if self.no_recreate and local in self.gone and local not in self.sources:
            return None
        first = "line %d\n" % rng.randint(100, 999)
        digit = rng.randrange(5, 8)
        second = first[:digit] + str((int(first[digit]) + 1) % 10) + first[digit + 1:]
        self.sources[local] = first
        self.actions.append(("late", name, local, second))
        return "save %s, then again in the same second from %s's script, which records one more name " \
               "a second later" % (local, name)

    def edit_restore_time(self, rng, root):
        """New contents with the old modification time, as cp -p or tar leave it."""
        names = self.plain_sources() + sorted(n for n in self.sources if n.endswith(".local"))
        if not names:
            return None
        name = rng.choice(names)
        path = os.path.join(root, name)
        if not os.path.isfile(path) or os.path.islink(path):
            return None
        old = os.lstat(path).st_mtime_ns
        how = self.change_text(rng, name)
        self.actions.append(("mtime", name, old))
        return "change %s (%s) and set its time back" % (name, how)

    def edit_dangle(self, rng, root):
        """A source replaced by a symbolic link to a file that does not exist."""
        names = self.plain_sources()
        if not names:
            return None
        name = rng.choice(names)
        del self.sources[name]
        self.links[name] = os.path.basename(name) + ".gone"
        self.removed.append(name)
        self.gone.add(name)
        return "replace source %s by a dangling link, used by %s" % (name, " ".join(self.users(name)) or "none")

    def edit_concurrent(self, rng, root):
        self.actions.append(("concurrent",))
        return "a second build started while the first runs"

    def edit_inherit_env(self, rng, root):
        self.actions.append(("inherit",))
        return "the build inherits OMBUBUILD and OMBULOCKS of an earlier one"

    def edit_noop(self, rng, root):
        return "nothing"


EDIT_WEIGHTS = {
    "change": 5, "touch": 2, "delete_target": 2, "specific_script": 2, "script_change": 2,
    "remove_script": 1, "local_create": 1.5, "local_remove": 1, "drop_source": 1,
    "break_source": 0.6, "restore_source": 1.5, "add_dep": 1.5, "mode": 1, "noop": 0.4,
    "same_second": 1.5, "restore_time": 1.5, "dangle": 0.8, "concurrent": 1, "inherit_env": 1,
    "later_record": 0.4,  # rare: its build takes a second more
}
# Edits that the differential tester carries out around a build; the
# interruption tester leaves them out.
TIMED_EDITS = {"same_second", "restore_time", "concurrent", "inherit_env", "later_record"}


def random_edits(rng, count, kinds=None):
    kinds = kinds or EDIT_WEIGHTS
    names = sorted(kinds)
    weights = [EDIT_WEIGHTS[k] for k in names]
    return [(rng.choices(names, weights)[0], rng.randrange(1 << 30)) for _ in range(count)]


def build_env(ombu_dir, log, extra=None):
    """The environment of a build: the tool first on PATH, nothing inherited
    that would steer it, the run log."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("OMBUFLAGS", "MAKEFLAGS", "MFLAGS", "MAKELEVEL", "__MKLVL__", "OMBULOCKS",
                        "OMBUBUILD", "OMBUALIVE") and not k.startswith("TORTURE_")}
    env["PATH"] = os.path.abspath(ombu_dir) + ":" + env.get("PATH", "/usr/bin:/bin")
    env["TORTURE_LOG"] = log
    env.update(extra or {})
    return env


class Hang(Exception):
    pass


def start_group(cmd, cwd, env):
    """Starts a build in a process group of its own."""
    return subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            start_new_session=True)


def run_group(cmd, cwd, env, timeout, proc=None):
    """Runs a build (or waits for one that start_group started) in a process
    group of its own; a build that has not ended after timeout seconds is
    killed with everything it started, and Hang is raised. Returns (exit
    status, stderr text)."""
    proc = proc or start_group(cmd, cwd, env)
    try:
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise Hang("%s did not end within %d s" % (" ".join(cmd), timeout))
    return proc.returncode, err.decode("utf-8", "replace")


def token_warnings(err):
    """The lines where a build that made a job server warns that the pipe
    does not hold the tokens it should at its end."""
    return [line for line in err.splitlines() if "WARNING:" in line and "token" in line]


def read_tree_outputs(root, names):
    out = {}
    for name in names:
        path = os.path.join(root, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                out[name] = f.read().decode("utf-8", "replace")
        else:
            out[name] = ABSENT
    return out


def leftovers(root):
    """Output files (.doing) anywhere in the tree and wait notes in the database."""
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for f in filenames + dirnames:
            p = os.path.normpath(os.path.join(rel, f))
            if f.endswith(".doing"):
                found.append(p)
            elif os.path.basename(dirpath).endswith(".waits") and p.startswith(".ombu"):
                found.append(p)
    return sorted(found)


def rmtree(path):
    shutil.rmtree(path, ignore_errors=True)
