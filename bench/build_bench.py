#!/usr/bin/env python3
"""Times whole builds with ombu, GNU make and ninja on the same generated
projects, run by run in turn, and prints the medians as a Markdown table.

Usage: bench/build_bench.py OMBU_BIN_DIR [--quick] [--out FILE]
                            [--sizes N,N...] [--runs R] [--keep DIR]
                            [--projects copy,cc,special,self]

OMBU_BIN_DIR holds the ombu executable and its links ombu-ifchange,
ombu-ifcreate. See bench/README.md for what each row measures.
"""

import argparse
import threading
import datetime
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

TOOLS = ("ombu", "make", "ninja")
HEADERS = 100          # shared headers of the "cc" projects
BIG_SIZE = "200M"      # output of the "big output" target
TIMEOUT = 3600         # seconds one build may take before the run is abandoned


# ---------------------------------------------------------------- projects

# The end of a compile script, as in examples/hello/default.o.do (which
# declares the source before the compile): the shell reads the depfile
# "$depfile" (undoing "\\ ", "\\#", "$$" and continued lines) and one
# ombu-ifchange declares every name in it.
DEPFILE_LOOP = r'''set -f --
first=y
while IFS= read -r line; do
    case $line in *' \') line=${line%\\} ;; esac
    case $first in y) line=${line#*: } first= ;; esac
    while :; do
        line=${line#"${line%%[! ]*}"}
        [ -n "$line" ] || break
        word=${line%% *} line=${line#"${line%% *}"}
        while case $word in *\\) ;; *) false ;; esac; do
            line=${line# } next=${line%% *}
            word="${word%\\} $next" line=${line#"$next"}
        done
        name=
        while case $word in *'$$'*) ;; *) false ;; esac; do
            name=$name${word%%'$$'*}\$ word=${word#*'$$'}
        done
        word=$name$word name=
        while case $word in *'\#'*) ;; *) false ;; esac; do
            name=$name${word%%'\#'*}\# word=${word#*'\#'}
        done
        set -- "$@" "$name$word"
    done
done < "$depfile"
ombu-ifchange "$@"
'''
#
# A project is, for each tool, a dict of file name -> contents; names ending
# in ".do" are made executable. The three variants of one project share their
# sources and do the same work per target.

def copy_sources(i, n):
    """The three shared sources of target i: distinct for n > 40."""
    return ("s%d.txt" % i, "s%d.txt" % ((i + 17) % n),
            "s%d.txt" % ((i + n // 2 + 3) % n))


def copy_project(n):
    sources = {"s%d.txt" % i: "source %d\n%s\n" % (i, "x" * 60)
               for i in range(n)}
    targets = ["t%d.out" % i for i in range(n)]

    ombu = dict(sources)
    # The target's number gives its sources, as copy_sources does.
    ombu["default.out.do"] = (
        "#!/bin/sh -e\n"
        "i=${1#t}\n"
        "a=s$i.txt b=s$(( (i + 17) %% %d )).txt c=s$(( (i + %d) %% %d )).txt\n"
        "ombu-ifchange $a $b $c\n"
        "cat $a $b $c > \"$3\"\n" % (n, n // 2 + 3, n))
    ombu["all.do"] = "#!/bin/sh -e\nombu-ifchange %s\n" % " ".join(targets)

    make = dict(sources)
    lines = ["MAKEFLAGS += -r", ".SUFFIXES:", ".PHONY: all",
             "all: " + " ".join(targets)]
    for i, t in enumerate(targets):
        lines.append("%s: %s\n\tcat $^ > $@" % (t, " ".join(copy_sources(i, n))))
    make["Makefile"] = "\n".join(lines) + "\n"

    ninja = dict(sources)
    lines = ["rule cat", "  command = cat $in > $out"]
    for i, t in enumerate(targets):
        lines.append("build %s: cat %s" % (t, " ".join(copy_sources(i, n))))
    lines += ["build all: phony " + " ".join(targets), "default all"]
    ninja["build.ninja"] = "\n".join(lines) + "\n"
    return {"ombu": ombu, "make": make, "ninja": ninja}


def c_source(i, edit=0):
    hs = (i % HEADERS, (i + 7) % HEADERS, (i + 31) % HEADERS)
    return ("".join('#include "h%d.h"\n' % h for h in hs) +
            "int f%d(int x) { return h%d(x) + h%d(x + 1) + h%d(x + 2) + %d; }\n"
            % (i, hs[0], hs[1], hs[2], i + edit))


def cc_project(n):
    sources = {}
    for h in range(HEADERS):
        sources["h%d.h" % h] = (
            "#ifndef H%d_H\n#define H%d_H\n"
            "static inline int h%d(int x) { return x * %d + %d; }\n#endif\n"
            % (h, h, h, h + 1, h))
    for i in range(n):
        sources["c%d.c" % i] = c_source(i)
    sources["main.c"] = "int main(void) { return 0; }\n"
    objects = " ".join(["c%d.o" % i for i in range(n)] + ["main.o"])

    ombu = dict(sources)
    ombu["default.o.do"] = (
        "#!/bin/sh -e\n"
        "depfile=$1.d\n"
        "ombu-ifchange \"$1.c\"\n"
        "cc -MD -MF \"$depfile\" -c -o \"$3\" \"$1.c\"\n" + DEPFILE_LOOP)
    ombu["prog.do"] = ("#!/bin/sh -e\nobjects=\"%s\"\n"
                       "ombu-ifchange $objects\ncc -o \"$3\" $objects\n" % objects)
    ombu["all.do"] = "#!/bin/sh -e\nombu-ifchange prog\n"

    make = dict(sources)
    make["Makefile"] = (
        "MAKEFLAGS += -r\n.SUFFIXES:\n.PHONY: all\n"
        "OBJS = %s\n"
        "all: prog\n"
        "prog: $(OBJS)\n\tcc -o $@ $^\n"
        "%%.o: %%.c\n\tcc -MD -c -o $@ $<\n"
        "-include $(OBJS:.o=.d)\n" % objects)

    ninja = dict(sources)
    lines = ["rule cc", "  command = cc -MD -MF $out.d -c -o $out $in",
             "  depfile = $out.d", "  deps = gcc",
             "rule link", "  command = cc -o $out $in"]
    lines += ["build %s: cc %s.c" % (o, o[:-2]) for o in objects.split()]
    lines += ["build prog: link " + objects, "build all: phony prog",
              "default all"]
    ninja["build.ninja"] = "\n".join(lines) + "\n"
    return {"ombu": ombu, "make": make, "ninja": ninja}


def lib_prog_project():
    leaves = " ".join("l%d.leaf" % k for k in range(1, 5))
    return {
        "all.do": "#!/bin/sh -e\nombu-ifchange lib prog\n",
        "prog.do": "#!/bin/sh -e\nombu-ifchange lib\necho prog > \"$3\"\n",
        "lib.do": "#!/bin/sh -e\nombu-ifchange %s\ncat %s > \"$3\"\n"
                  % (leaves, leaves),
        "default.leaf.do": "#!/bin/sh -e\nsleep 1\necho \"$1\" > \"$3\"\n",
        "Makefile": ".PHONY: all\nall: lib prog\nprog: lib\n\techo prog > $@\n"
                    "lib: %s\n\tcat $^ > $@\n%%.leaf:\n\tsleep 1; echo $* > $@\n"
                    % leaves,
    }


def big_project():
    make_big = "head -c %s /dev/urandom > " % BIG_SIZE
    return {
        "all.do": "#!/bin/sh -e\nombu-ifchange big\n",
        "big.do": "#!/bin/sh -e\n%s\"$3\"\n" % make_big,
        "Makefile": ".PHONY: all\nall: big\nbig:\n\t%s$@\n" % make_big,
    }


def write_project(directory, files):
    os.makedirs(directory)
    for name, text in files.items():
        path = os.path.join(directory, name)
        with open(path, "w") as f:
            f.write(text)
        if name.endswith(".do"):
            os.chmod(path, 0o755)


def clean(directory, files):
    """Removes everything the builds made, leaving the generated files."""
    for entry in os.scandir(directory):
        if entry.name in files:
            continue
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        else:
            os.unlink(entry.path)


# ---------------------------------------------------------------- running

class BuildFailed(Exception):
    pass


def run(cmd, cwd, env, log, timeout=TIMEOUT):
    """Runs cmd to its end and returns its wall-clock time in seconds."""
    with open(log, "w") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        # A wait with a timeout polls in steps of up to 50 ms, which would
        # round short builds; a blocking wait sees the end at once, and a
        # timer kills a build that overruns.
        timer = threading.Timer(timeout, os.killpg, (proc.pid, signal.SIGKILL))
        timer.start()
        status = proc.wait()
        elapsed = time.perf_counter() - start
        if not timer.is_alive():
            status = "timed out after %d s" % timeout
        timer.cancel()
    if status != 0:
        with open(log) as f:
            tail = f.read()[-2000:]
        raise BuildFailed("%s in %s: status %s\n%s" % (" ".join(cmd), cwd, status, tail))
    return elapsed


def build_cmd(tool, jobs, target="all"):
    return [tool, "-j%d" % jobs, target]


def next_second():
    """Sleeps into the next wall-clock second, so that a file changed now has
    a modification time (in whole seconds) later than anything built before."""
    now = time.time()
    time.sleep(int(now) + 1.02 - now)


def mtime_ns(path):
    try:
        return os.stat(path).st_mtime_ns
    except FileNotFoundError:
        return None


def peak_rss_kib(cmd, cwd, env):
    """Peak resident set of the process tree of cmd (the largest of the
    process and its descendants), in KiB, and how it was measured."""
    if os.access("/usr/bin/time", os.X_OK):
        fd, report = tempfile.mkstemp()
        os.close(fd)
        try:
            subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + cmd,
                           cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            with open(report) as f:
                return int(f.read().split()[-1]), "/usr/bin/time -f %M"
        finally:
            os.unlink(report)
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise BuildFailed(" ".join(cmd) + ": failed")
    return usage.ru_maxrss, "wait4 rusage (ru_maxrss)"


# ---------------------------------------------------------------- scenarios

def check_full(kind, n, directory):
    if kind == "copy":
        for i in (0, n // 2, n - 1):
            with open(os.path.join(directory, "t%d.out" % i)) as f:
                got = f.read()
            want = ""
            for s in copy_sources(i, n):
                with open(os.path.join(directory, s)) as f:
                    want += f.read()
            if got != want:
                raise BuildFailed("%s: t%d.out has wrong contents" % (directory, i))
    elif not os.path.exists(os.path.join(directory, "prog")):
        raise BuildFailed("%s: prog was not built" % directory)


def bench_project(kind, n, runs, noops, env, work, log):
    """Times every scenario of one project; returns {scenario: {tool: [s]}}."""
    files = (copy_project if kind == "copy" else cc_project)(n)
    dirs = {}
    for tool in TOOLS:
        dirs[tool] = os.path.join(work, "%s-%d" % (kind, n), tool)
        write_project(dirs[tool], files[tool])
    k = n // 2
    source = "s%d.txt" % k if kind == "copy" else "c%d.c" % k
    product = "t%d.out" % k if kind == "copy" else "prog"
    times = {}

    def record(scenario, tool, seconds):
        times.setdefault(scenario, {}).setdefault(tool, []).append(seconds)

    for r in range(runs):
        for tool in TOOLS:
            d = dirs[tool]
            for jobs in (1, 2):
                clean(d, files[tool])
                record("full -j%d" % jobs, tool,
                       run(build_cmd(tool, jobs), d, env, log))
                check_full(kind, n, d)
            for _ in range(noops):
                next_second()
                record("no-op", tool, run(build_cmd(tool, 1), d, env, log))

            next_second()
            os.utime(os.path.join(d, source))
            record("touch one source", tool, run(build_cmd(tool, 1), d, env, log))

            next_second()
            before = mtime_ns(os.path.join(d, product))
            with open(os.path.join(d, source), "w") as f:
                if kind == "copy":
                    f.write("source %d, edit %d\n" % (k, r + 1))
                else:
                    f.write(c_source(k, r + 1))
            record("change one source", tool, run(build_cmd(tool, 1), d, env, log))
            if mtime_ns(os.path.join(d, product)) == before:
                raise BuildFailed("%s: %s not rebuilt after %s changed"
                                  % (d, product, source))
        print("  %s N=%d: run %d of %d done" % (kind, n, r + 1, runs),
              file=sys.stderr, flush=True)
    memory = {tool: peak_rss_kib(build_cmd(tool, 1), dirs[tool], env)
              for tool in TOOLS}
    shutil.rmtree(os.path.join(work, "%s-%d" % (kind, n)))
    return times, memory


def bench_lib_prog(runs, env, work, log):
    files = lib_prog_project()
    d = os.path.join(work, "lib-prog")
    write_project(d, files)
    times = {"ombu": [], "make": []}
    for _ in range(runs):
        for tool in times:
            clean(d, files)
            times[tool].append(run(build_cmd(tool, 2), d, env, log, timeout=120))
    shutil.rmtree(d)
    return times


def bench_big(runs, env, work, log):
    files = big_project()
    times = {"ombu": [], "make": []}
    dirs = {}
    for tool in times:
        dirs[tool] = os.path.join(work, "big-" + tool)
        write_project(dirs[tool], files)
        run(build_cmd(tool, 1), dirs[tool], env, log)
    for _ in range(runs):
        for tool in times:
            times[tool].append(run(build_cmd(tool, 1), dirs[tool], env, log))
    for d in dirs.values():
        shutil.rmtree(d)
    return times


# ---------------------------------------------------------------- the own tree
#
# ombu's own sources, built by the scripts of do/ and by CMake's Release build
# with ninja and with make, each tool in a copy of its own. CMake configures
# once, untimed; a full build starts from the tool's own clean.

SELF_TOOLS = ("ombu", "cmake+ninja", "cmake+make")
SELF_HEADER = "src/base/diagnostics.hpp"  # read by most of the sources
SELF_SOURCE = "src/base/hint.cpp"


def source_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def copy_source_tree(to):
    """Copies the files of the tree (tracked and new, not ignored ones)."""
    root = source_root()
    names = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"], stdout=subprocess.PIPE,
                           check=True).stdout.decode().split("\0")
    for name in names:
        source = os.path.join(root, name)
        if not name or not os.path.isfile(source):
            continue
        target = os.path.join(to, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)


class SelfTree:
    """One tool's copy of the tree: where it builds, how, and what it makes."""

    def __init__(self, tool, directory, env, log):
        self.tool, self.directory = tool, directory
        copy_source_tree(directory)
        if tool == "ombu":
            self.cwd = os.path.join(directory, "do")
            self.product = os.path.join(self.cwd, "out", "ombu")
        else:
            self.cwd = os.path.join(directory, "build")
            self.product = os.path.join(self.cwd, "ombu")
            generator = "Ninja" if tool == "cmake+ninja" else "Unix Makefiles"
            run(["cmake", "-S", directory, "-B", self.cwd, "-G", generator,
                 "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_COMPILER=g++"],
                directory, env, log)

    def command(self, jobs):
        if self.tool == "ombu":
            return ["ombu", "-j%d" % jobs, "all"]
        return ["ninja" if self.tool == "cmake+ninja" else "make", "-j%d" % jobs]

    def clean(self, env, log):
        if self.tool == "ombu":
            for name in ("out", ".ombu", "all"):
                path = os.path.join(self.cwd, name)
                if os.path.isdir(path):
                    shutil.rmtree(path)
                elif os.path.lexists(path):
                    os.unlink(path)
        else:
            run(["ninja", "-t", "clean"] if self.tool == "cmake+ninja" else ["make", "clean"],
                self.cwd, env, log)

    def edit(self, name, number):
        """A change that alters the objects compiled from the file."""
        with open(os.path.join(self.directory, name), "a") as f:
            f.write("[[gnu::used]] static const int ombu_bench_edit_%d = %d;\n"
                    % (number, number))


def bench_self(runs, noops, jobs, env, work, log):
    """Times the own tree's scenarios; returns {scenario: {tool: [s]}}."""
    trees = {tool: SelfTree(tool, os.path.join(work, "self", tool.replace("+", "-")), env, log)
             for tool in SELF_TOOLS}
    times = {}

    def record(scenario, tool, seconds):
        times.setdefault(scenario, {}).setdefault(tool, []).append(seconds)

    def rebuilt(tree, scenario, before):
        if mtime_ns(tree.product) == before:
            raise BuildFailed("%s: %s not rebuilt after %s" % (tree.directory, tree.product, scenario))

    for r in range(runs):
        for tool, tree in trees.items():
            for full in (1, 2):
                tree.clean(env, log)
                record("full -j%d" % full, tool, run(tree.command(full), tree.cwd, env, log))
                if not os.path.exists(tree.product):
                    raise BuildFailed("%s: ombu was not built" % tree.directory)
            for _ in range(noops):
                next_second()
                record("no-op", tool, run(tree.command(jobs), tree.cwd, env, log))

            next_second()
            os.utime(os.path.join(tree.directory, SELF_HEADER))
            record("touch a widely read header", tool,
                   run(tree.command(jobs), tree.cwd, env, log))

            # The same edits for every tool, so that their executables stay equal.
            for edit, (scenario, name) in enumerate(
                    (("change one .cpp", SELF_SOURCE), ("change a widely read header", SELF_HEADER))):
                next_second()
                before = mtime_ns(tree.product)
                tree.edit(name, 2 * r + edit + 1)
                record(scenario, tool, run(tree.command(jobs), tree.cwd, env, log))
                rebuilt(tree, scenario, before)
        print("  own tree: run %d of %d done" % (r + 1, runs), file=sys.stderr, flush=True)
    # The same flags make the same executable.
    if subprocess.run(["cmp", "-s", trees["ombu"].product, trees["cmake+ninja"].product]).returncode:
        print("  own tree: ombu's and CMake's executables differ", file=sys.stderr)
    shutil.rmtree(os.path.join(work, "self"))
    return times


def self_report(times, runs, noops, jobs):
    med = statistics.median
    out = ["", "## ombu's own tree: do/ against CMake's Release build", "",
           "%d runs a scenario (no-op: %d a run), tools interleaved run by run; medians in "
           "seconds of wall-clock time; incremental builds at -j%d; the header is `%s`, "
           "the source `%s`, each changed by a line that alters its objects."
           % (runs, noops, jobs, SELF_HEADER, SELF_SOURCE), "",
           "| measure | ombu (do/) | CMake+ninja | CMake+make | ombu/ninja | ombu/make |",
           "|---|---:|---:|---:|---:|---:|"]
    for scenario, per_tool in times.items():
        m = {t: med(per_tool[t]) for t in SELF_TOOLS}
        out.append("| %s | %s | %s | %s | %s | %s |" % (
            scenario, fmt(m["ombu"]), fmt(m["cmake+ninja"]), fmt(m["cmake+make"]),
            ratio(m["ombu"], m["cmake+ninja"]), ratio(m["ombu"], m["cmake+make"])))
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------- report

def first_line(cmd):
    try:
        out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True).stdout
        return out.splitlines()[0] if out else "unknown"
    except OSError:
        return "not found"


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %s, %d cores" % (platform.machine(), cpu, os.cpu_count())


def ombu_version(bin_dir):
    rev = subprocess.run(["git", "-C", bin_dir, "describe", "--always", "--dirty"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         text=True).stdout.strip()
    return "commit %s" % rev if rev else "unknown revision"


def build_type(bin_dir):
    """The CMake build type of the build directory, without its path."""
    try:
        with open(os.path.join(bin_dir, "CMakeCache.txt")) as cache:
            for line in cache:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    return "a %s build" % (line.split("=", 1)[1].strip() or "default")
    except OSError:
        pass
    return "a build of unknown type"


def fmt(seconds):
    return "%.3f" % seconds


def ratio(a, b):
    return "%.2f" % (a / b) if b > 0 else "-"


def report(args, results, lib_prog, big, memory, own, elapsed):
    med = statistics.median
    out = []
    out.append("# Build benchmark: ombu, GNU make and ninja\n")
    out.append("- Date: %s" % datetime.datetime.now().strftime("%Y-%m-%d %H:%M"))
    out.append("- Machine: %s" % machine())
    out.append("- ombu: %s, %s" % (ombu_version(args.bin_dir), build_type(args.bin_dir)))
    out.append("- %s; ninja %s; %s" % (first_line(["make", "--version"]),
                                      first_line(["ninja", "--version"]),
                                      first_line(["cc", "--version"])))
    out.append("- Mode: %s; N = %s (cc: %s); runs a scenario: %d (no-op: %d a run); "
               "tools interleaved run by run; medians in seconds of wall-clock "
               "time; the whole benchmark took %.0f s"
               % ("quick" if args.quick else "full",
                  ", ".join(str(n) for n in args.sizes),
                  ", ".join(str(n) for n in args.cc_sizes), args.runs, args.noops,
                  elapsed))
    out.append("- Projects: %s" % ", ".join(args.projects))
    if results:
        out.append("")
        out.append("| project | N | measure | ombu | make | ninja | ombu/make | ombu/ninja |")
        out.append("|---|---:|---|---:|---:|---:|---:|---:|")
    for (kind, n), times in results.items():
        for scenario, per_tool in times.items():
            m = {t: med(per_tool[t]) for t in TOOLS}
            out.append("| %s | %d | %s | %s | %s | %s | %s | %s |" % (
                kind, n, scenario, fmt(m["ombu"]), fmt(m["make"]),
                fmt(m["ninja"]), ratio(m["ombu"], m["make"]),
                ratio(m["ombu"], m["ninja"])))
        j = {t: ratio(med(times["full -j2"][t]), med(times["full -j1"][t]))
             for t in TOOLS}
        out.append("| %s | %d | full -j2 / full -j1 (ratio) | %s | %s | %s | | |"
                   % (kind, n, j["ombu"], j["make"], j["ninja"]))
    if lib_prog:
        out.extend(special_report(lib_prog, big))
    if memory:
        out.extend(memory_report(memory))
    if own:
        out.append(self_report(own, args.runs, args.noops, 2))
    return "\n".join(out) + "\n"


def special_report(lib_prog, big):
    med = statistics.median
    out = [""]
    out.append("| special scenario | ombu | reference | ombu / reference |")
    out.append("|---|---:|---:|---:|")
    lp = med(lib_prog["ombu"])
    out.append("| lib prog: `ombu -j2 all` from clean, four 1 s leaves "
               "(make -j2: %s) | %s | 2.000 (ideal) | %s |"
               % (fmt(med(lib_prog["make"])), fmt(lp), ratio(lp, 2.0)))
    bo, bm = med(big["ombu"]), med(big["make"])
    out.append("| big output (%sB target): no-op `ombu all` against `make all` "
               "(first ombu no-op after the build: %s) | %s | %s | %s |"
               % (BIG_SIZE, fmt(big["ombu"][0]), fmt(bo), fmt(bm), ratio(bo, bm)))
    return out


def memory_report(memory):
    out = [""]
    how = next(iter(memory.values()))["ombu"][1]
    out.append("| peak resident memory of a no-op (KiB) | ombu | make | ninja |")
    out.append("|---|---:|---:|---:|")
    for (kind, n), mem in memory.items():
        out.append("| %s, N = %d | %d | %d | %d |" % (
            kind, n, mem["ombu"][0], mem["make"][0], mem["ninja"][0]))
    out.append("")
    out.append("Peak memory: the largest resident set of any process of the "
               "build's process tree (for ombu, the `ombu-ifchange` that judges "
               "every target is part of the tree), measured with %s on the "
               "no-op `TOOL -j1 all` after the timed runs." % how)
    return out


def main():
    parser = argparse.ArgumentParser(
        description="Times ombu against GNU make and ninja on generated projects.")
    parser.add_argument("bin_dir", metavar="OMBU_BIN_DIR",
                        help="directory of the ombu executable and its links")
    parser.add_argument("--quick", action="store_true",
                        help="N = 1,000 only and 2 runs (a few minutes)")
    parser.add_argument("--out", metavar="FILE",
                        help="also write the report into FILE")
    parser.add_argument("--sizes", metavar="N,N...",
                        help="target counts (default 1000,10000; quick 1000)")
    parser.add_argument("--cc-sizes", metavar="N,N...",
                        help="target counts of the cc project, when they differ from --sizes "
                             "(compiling 10,000 files takes the most time by far)")
    parser.add_argument("--runs", type=int, help="runs a scenario (default 5; quick 2)")
    parser.add_argument("--projects", metavar="P,P...", default="copy,cc,special,self",
                        help="what to time, of copy, cc, special (lib prog and big output) "
                             "and self (ombu's own tree against CMake); default all")
    parser.add_argument("--keep", metavar="DIR",
                        help="generate the projects in DIR and keep the build logs")
    args = parser.parse_args()

    args.bin_dir = os.path.abspath(args.bin_dir)
    for name in ("ombu", "ombu-ifchange"):
        if not os.access(os.path.join(args.bin_dir, name), os.X_OK):
            parser.error("%s: no executable %s" % (args.bin_dir, name))
    args.projects = args.projects.split(",")
    unknown = set(args.projects) - {"copy", "cc", "special", "self"}
    if unknown:
        parser.error("unknown projects: %s" % ", ".join(sorted(unknown)))
    for tool in ("make", "ninja", "cc") + (("cmake", "g++", "git") if "self" in args.projects else ()):
        if shutil.which(tool) is None:
            parser.error("%s not found" % tool)
    if args.sizes:
        args.sizes = [int(s) for s in args.sizes.split(",")]
    else:
        args.sizes = [1000] if args.quick else [1000, 10000]
    args.cc_sizes = [int(s) for s in args.cc_sizes.split(",")] if args.cc_sizes else args.sizes
    if min(args.sizes + args.cc_sizes) < 100:
        parser.error("target counts below 100 are not supported")
    args.runs = args.runs or (2 if args.quick else 5)
    args.noops = 3

    env = {k: v for k, v in os.environ.items()
           if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "__MKLVL__",
                        "OMBUFLAGS", "OMBULOCKS", "GNUMAKEFLAGS")}
    env["PATH"] = args.bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin")
    env["LC_ALL"] = "C"

    work = os.path.abspath(args.keep) if args.keep else tempfile.mkdtemp(prefix="ombu-bench.")
    os.makedirs(work, exist_ok=True)
    log = os.path.join(work, "last-build.log")
    start = time.perf_counter()
    try:
        results, memory, lib_prog, big, own = {}, {}, {}, {}, {}
        for kind, sizes in (("copy", args.sizes), ("cc", args.cc_sizes)):
            if kind not in args.projects:
                continue
            for n in sizes:
                results[(kind, n)], memory[(kind, n)] = bench_project(
                    kind, n, args.runs, args.noops, env, work, log)
        if "special" in args.projects:
            print("  special scenarios", file=sys.stderr, flush=True)
            lib_prog = bench_lib_prog(args.runs, env, work, log)
            big = bench_big(2 * args.runs, env, work, log)
        if "self" in args.projects:
            own = bench_self(args.runs, args.noops, 2, env, work, log)
    except BuildFailed as e:
        sys.exit("build_bench: %s" % e)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    text = report(args, results, lib_prog, big, memory, own, time.perf_counter() - start)
    print(text, end="")
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
