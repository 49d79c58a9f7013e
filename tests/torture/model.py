"""What an incremental build must do, judged from the project alone.

The model keeps its own picture of the build tree: the outputs it expects on
disk, and for every name that a build has launched the inputs recorded by its
last successful script run (name, contents or absent, and for a file of the
project its modification second) and whether a pending prerequisites file
exists. A build is then simulated as the tool's rules describe it: a name that
exists and has no database files is a source; a target is run when it does
not exist or has no records, when bringing its recorded prerequisites up to
date fails, or when one of its recorded inputs differs from what was recorded;
a recorded name that has gone and never had database files is not brought up
to date. A prerequisite that is rebuilt with byte-identical contents therefore
does not make its users run.

An input differs when it has appeared or vanished, when it is now a symbolic
link (its own status: another kind of file), or when its contents changed,
except that a file whose modification second equals the recorded one, and
lies before the second in which the target's records were written, is trusted
by its time: a change that kept the time (a time set back after the change, a
second save within the same second) is not seen, and the target stays as it
was; but a record taken in the input's own modification second (the tester
knows when a script's record and a save fell in one second) is never trusted
by time, whatever second the records file was written in. Those two seconds
are facts of the run, not decisions of the tool: the
tester passes the files' times and the records files' times, read from the
tree before the build. A name that only a dangling link holds does not exist
(it is no source): bringing it up to date runs its script search.

Records hold what the script read while it ran (the contents of that moment,
never a hash carried over from older records). A failed script search removes
the pending file only when the name does not exist at that moment; a failed
script leaves it.
"""

from project import ABSENT, script_candidates, transform


class Model:
    def __init__(self):
        self.outputs = {}   # built target -> contents, as on disk
        self.records = {}   # name -> list of (input, contents or ABSENT)
        self.pending = set()  # names with a pending prerequisites file
        self.mtimes = {}    # file of the project or link -> modification second, this build
        self.written = {}   # target -> second in which its records were written, this build
        # (target, input) whose record was taken in the input's modification
        # second, whatever second the records file was written in: never
        # trusted by its time (the tester knows it, the tree does not show it).
        self.untrusted = set()

    # -- one build --------------------------------------------------------

    def build(self, project, mtimes=None, written=None, top="all"):
        """Simulates `ombu top`, with the modification seconds of the project's
        files and links (mtimes) and of the targets' records files (written) as
        they are in the tree. Returns (success, [names whose script ran])."""
        self.project = project
        self.files = project.files()
        self.links = project.links
        self.mtimes = mtimes or {}
        self.written = written or {}
        self.done = set()
        self.runs = []
        self.failures = 0
        self.hidden = set()    # targets kept although an input's contents changed
        self.unseen = []
        self.replaced = set()  # dangling links that a build replaced by a target
        ok = self.run(top)
        return ok, self.runs

    def exists(self, name):
        return name in self.files or name in self.outputs

    def contents(self, name):
        if name in self.files:
            return self.files[name][0]
        return self.outputs.get(name, ABSENT)

    def mtime(self, name):
        return self.mtimes.get(name) if name in self.files else None

    def differs(self, target, dep, recorded):
        """The rule's comparison of one record with the input as it is now."""
        contents, mtime = recorded
        if dep in self.links and dep not in self.outputs:
            return True  # a symbolic link: another kind of file than recorded
        now = self.contents(dep)
        if contents is ABSENT or now is ABSENT:
            return (contents is ABSENT) != (now is ABSENT)
        written = self.written.get(target)
        if (mtime is not None and mtime == self.mtime(dep) and written is not None and mtime < written
                and (target, dep) not in self.untrusted):
            if now != contents:
                self.unseen.append(target)
            return False
        return now != contents

    def is_source(self, name):
        return self.exists(name) and name not in self.records and name not in self.pending

    def visit(self, name, depth=0):
        """ombu-ifchange of one name: True when it is up to date afterwards."""
        if depth > 40:
            raise RecursionError("model recursion on " + name)
        if name in self.done or self.is_source(name):
            return True
        stale = True
        if self.exists(name) and name in self.records:
            ok = True
            for dep, recorded, _ in self.records[name]:
                # A recorded name that has gone and never had database files
                # is not built here: it counts as vanished.
                known = self.exists(dep) or dep in self.records or dep in self.pending
                if recorded is not ABSENT and not self.is_source(dep) and known:
                    ok = self.visit(dep, depth + 1) and ok
            if ok and self.exists(name):
                self.unseen = []
                stale = any(self.differs(name, dep, (recorded, mtime))
                            for dep, recorded, mtime in self.records[name])
        if not stale:
            if self.unseen:
                self.hidden.add(name)
            self.done.add(name)
            return True
        return self.run(name, depth)

    def record(self, name):
        return (name, self.contents(name), self.mtime(name))

    def run(self, name, depth=0):
        self.pending.add(name)
        recorded = []
        script = None
        for candidate in script_candidates(name):
            if self.exists(candidate):
                script = candidate
                break
            recorded.append((candidate, ABSENT, None))
        if script is None:
            # The pending file goes only when the name does not exist: an
            # existing name stays a target (its script may come back).
            if not self.exists(name):
                self.pending.discard(name)
            return self.fail()
        recorded.append(self.record(script))
        if script not in self.project.scripts:
            return self.fail()  # a file that is no script: it cannot be executed
        self.runs.append(name)
        header = "%s v%d %s\n" % (script, self.project.scripts[script][0], name)
        deps_file = name + ".deps"
        if not self.exists(deps_file):
            if not self.project.catch_all or script.rsplit("/", 1)[-1] != "default.do":
                return self.fail()
            recorded.append((deps_file, ABSENT, None))
            return self.succeed(name, header, recorded)
        if not self.visit(deps_file, depth + 1):
            return self.fail()
        recorded.append(self.record(deps_file))
        lines = self.contents(deps_file).splitlines()
        mode, deps = lines[0], lines[1:]
        local = name + ".local"
        inputs = list(deps)
        if self.exists(local):
            if not self.visit(local, depth + 1):
                return self.fail()
            recorded.append(self.record(local))
            inputs.append(local)
        else:
            recorded.append((local, ABSENT, None))
        ok = True
        for dep in deps:
            ok = self.visit(dep, depth + 1) and ok
        if not ok:
            return self.fail()
        for dep in deps:
            recorded.append(self.record(dep))
        if any(not self.exists(d) for d in inputs):
            return self.fail()
        text = header
        for d in inputs:
            text += transform(mode, self.contents(d))
        return self.succeed(name, text, recorded)

    def succeed(self, name, text, recorded):
        if name in self.links:
            self.replaced.add(name)  # the output took the link's place
        self.outputs[name] = text
        self.records[name] = recorded
        self.untrusted = {u for u in self.untrusted if u[0] != name}
        self.pending.discard(name)
        self.done.add(name)
        return True

    def fail(self):
        self.failures += 1
        return False

    # -- edits the tester makes to built files -----------------------------

    def deleted(self, name):
        self.outputs.pop(name, None)
