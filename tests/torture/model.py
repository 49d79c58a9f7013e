"""What an incremental build must do, judged from the project alone.

The model keeps its own picture of the build tree: the outputs it expects on
disk, and for every name that a build has launched the inputs recorded by its
last successful script run (name and contents, or absent) and whether a
pending prerequisites file exists. A build is then simulated as the tool's
rules describe it: a name that exists and has no database files is a source;
a target is run when it does not exist or has no records, when bringing its
recorded prerequisites up to date fails, or when one of its recorded inputs
differs by contents or by existence from what was recorded; a recorded name
that has gone and never had database files is not brought up to date. A prerequisite
that is rebuilt with byte-identical contents therefore does not make its users
run. A launch leaves a pending prerequisites file even when no script is found.
"""

from project import ABSENT, script_candidates, transform


class Model:
    def __init__(self):
        self.outputs = {}   # built target -> contents, as on disk
        self.records = {}   # name -> list of (input, contents or ABSENT)
        self.pending = set()  # names with a pending prerequisites file

    # -- one build --------------------------------------------------------

    def build(self, project, top="all"):
        """Simulates `ombu top`. Returns (success, [names whose script ran])."""
        self.project = project
        self.files = project.files()
        self.done = set()
        self.runs = []
        self.failures = 0
        ok = self.run(top)
        return ok, self.runs

    def exists(self, name):
        return name in self.files or name in self.outputs

    def contents(self, name):
        if name in self.files:
            return self.files[name][0]
        return self.outputs.get(name, ABSENT)

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
            for dep, recorded in self.records[name]:
                # A recorded name that has gone and never had database files
                # is not built here: it counts as vanished.
                known = self.exists(dep) or dep in self.records or dep in self.pending
                if recorded is not ABSENT and not self.is_source(dep) and known:
                    ok = self.visit(dep, depth + 1) and ok
            if ok and self.exists(name):
                stale = any(self.contents(dep) != recorded for dep, recorded in self.records[name])
        if not stale:
            self.done.add(name)
            return True
        return self.run(name, depth)

    def run(self, name, depth=0):
        self.pending.add(name)
        recorded = []
        script = None
        for candidate in script_candidates(name):
            if self.exists(candidate):
                script = candidate
                break
            recorded.append((candidate, ABSENT))
        if script is None:
            return self.fail()
        recorded.append((script, self.contents(script)))
        if script not in self.project.scripts:
            return self.fail()  # a file that is no script: it cannot be executed
        self.runs.append(name)
        header = "%s v%d %s\n" % (script, self.project.scripts[script][0], name)
        deps_file = name + ".deps"
        if not self.exists(deps_file):
            if not self.project.catch_all or script.rsplit("/", 1)[-1] != "default.do":
                return self.fail()
            recorded.append((deps_file, ABSENT))
            return self.succeed(name, header, recorded)
        if not self.visit(deps_file, depth + 1):
            return self.fail()
        recorded.append((deps_file, self.contents(deps_file)))
        lines = self.contents(deps_file).splitlines()
        mode, deps = lines[0], lines[1:]
        local = name + ".local"
        inputs = list(deps)
        if self.exists(local):
            if not self.visit(local, depth + 1):
                return self.fail()
            recorded.append((local, self.contents(local)))
            inputs.append(local)
        else:
            recorded.append((local, ABSENT))
        ok = True
        for dep in deps:
            ok = self.visit(dep, depth + 1) and ok
        if not ok:
            return self.fail()
        for dep in deps:
            recorded.append((dep, self.contents(dep)))
        if any(not self.exists(d) for d in inputs):
            return self.fail()
        text = header
        for d in inputs:
            text += transform(mode, self.contents(d))
        return self.succeed(name, text, recorded)

    def succeed(self, name, text, recorded):
        self.outputs[name] = text
        self.records[name] = recorded
        self.pending.discard(name)
        self.done.add(name)
        return True

    def fail(self):
        self.failures += 1
        return False

    # -- edits the tester makes to built files -----------------------------

    def deleted(self, name):
        self.outputs.pop(name, None)
