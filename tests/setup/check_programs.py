#!/usr/bin/env python3
"""Holds the tree to programs.tsv: every program outside the base system that the tests and
scripts run comes from a package that scripts/install-deps.sh installs.

1. Each row's package is in install-deps's list (its "windows" list for the Windows rows).
2. Each program of the default list is found on PATH (install-deps has run), and the package
   that owns it is the row's: a program found elsewhere (built by hand, from another package)
   would not be there on a new machine.
   (The host tools of scripts/fresh-check.sh: that it installs them.)
3. The scripts (their commands) and the tests, benchmarks and fuzz helpers (their string
   literals) name no installed program of a non-base package that the table lacks: a new tool
   needs its row, and its row needs its package.
Run inside a fresh root after install-deps, 1 and 2 show a package missing from the list.
"""
import fnmatch
import glob
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SCANNED = re.compile(r"(scripts|\.ci|tests|bench|fuzz|cmake|docs)/|CMakeLists\.txt$")
WORD = re.compile(r"[A-Za-z0-9_+.-]+")
BIN_DIRS = ("/usr/bin", "/usr/sbin", "/bin", "/sbin")
# PostgreSQL's server programs are not on PATH: Debian keeps them per major version.
PROGRAM_GLOBS = ("/usr/lib/postgresql/*/bin",)


def run(*command):
    return subprocess.run(command, capture_output=True, text=True).stdout


def read_table():
    rows = {}
    with open(os.path.join(HERE, "programs.tsv")) as table:
        for line in table:
            if line.strip() and not line.startswith("#"):
                program, package, kind, owner = line.split()[:4]
                rows[program] = (package, kind, package if owner == "-" else owner)
    return rows


def link_chain(path):
    """path and, for a link (alternatives), each path it leads to."""
    chain = [path]
    while os.path.islink(chain[-1]) and len(chain) < 10:
        chain.append(os.path.join(os.path.dirname(chain[-1]), os.readlink(chain[-1])))
    return chain + ["/usr" + step for step in chain if step.startswith(("/bin/", "/sbin/"))]


def owners(paths):
    """The owning package of each path, from one dpkg-query call for all their link chains."""
    chains = {path: link_chain(path) for path in paths}
    steps = sorted({step for chain in chains.values() for step in chain})
    owned = {}
    for line in run("dpkg-query", "-S", *steps).splitlines() if steps else []:
        package, _, owned_path = line.partition(": ")
        owned[owned_path.strip()] = package.split(",")[0].split(":")[0].strip()
    return {path: next((owned[step] for step in chain if step in owned), None)
            for path, chain in chains.items()}


def base_packages(packages):
    """Those of packages that every Debian system has (priority required or important)."""
    lines = run("dpkg-query", "-W", "-f=${Package} ${Priority} ${Essential}\n", *packages)
    return {line.split()[0] for line in lines.splitlines()
            if len(line.split()) >= 2 and (line.split()[1] in ("required", "important")
                                           or line.split()[-1] == "yes")}


def words_called(path, text):
    """Shell scripts: every word outside comments; other sources: the words of string literals."""
    if path.endswith(".sh") or path.startswith((".ci/", "scripts/")) or text.startswith("#!/"):
        if not path.endswith((".py", ".cpp", ".h")):
            code = "\n".join(line.split("#", 1)[0] for line in text.splitlines())
            return set(WORD.findall(code))
    if path.endswith((".cpp", ".h", ".py", ".cmake", "CMakeLists.txt")):
        literals = re.findall(r'"((?:[^"\\\n]|\\.)*)"', text)
        return {word for literal in literals for word in WORD.findall(literal)}
    return set()


def source_files():
    """The repository's files that can run programs, relative to it (build folders left out)."""
    for folder, subfolders, names in os.walk(REPO):
        relative = os.path.relpath(folder, REPO)
        subfolders[:] = [name for name in subfolders
                         if not name.startswith(("build", ".git")) and name != "corpus"]
        for name in names:
            path = os.path.normpath(os.path.join(relative, name))
            if SCANNED.match(path):
                yield path


def installed_program(word):
    folders = list(BIN_DIRS) + sorted(d for g in PROGRAM_GLOBS for d in glob.glob(g))
    for folder in folders:
        path = os.path.join(folder, word)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def main():
    rows = read_table()
    lists = {kind: set(run("bash", os.path.join(REPO, "scripts/install-deps.sh"), "--list",
                           *(["windows"] if kind == "windows" else [])).split())
             for kind in ("default", "windows")}
    with open(os.path.join(REPO, "scripts/fresh-check.sh")) as script:
        lists["fresh-check"] = set(WORD.findall(re.search(r"for tool in ([^;]*);",
                                                          script.read()).group(1)))
    failures = []
    listed = {}
    for program, (package, kind, owner) in sorted(rows.items()):
        if kind == "word":
            continue
        if package not in lists[kind]:
            failures.append(f"{program}: its package {package} is not in install-deps's "
                            f"{kind} list")
        elif installed_program(program):
            listed[installed_program(program)] = (program, owner)
        elif kind == "default":
            failures.append(f"{program}: not found, though install-deps installs {package}")
    named = {}
    for path in source_files():
        try:
            with open(os.path.join(REPO, path), errors="replace") as source:
                text = source.read()
        except OSError:
            continue
        for word in words_called(path, text) - rows.keys():
            program = installed_program(word)
            if program:
                named.setdefault(program, (word, path))
    owner_of = owners(list(listed) + list(named))
    for path, (program, owner) in sorted(listed.items()):
        if not fnmatch.fnmatchcase(owner_of[path] or "", owner):
            failures.append(f"{program}: {path} belongs to {owner_of[path] or 'no package'}, "
                            f"not {owner}")
    base = base_packages(sorted({owner for owner in owner_of.values() if owner}))
    for path, (word, named_in) in sorted(named.items()):
        package = owner_of[path]
        if package and package not in base:
            failures.append(f"{word} ({package}), named in {named_in}, has no row in "
                            "tests/setup/programs.tsv")
    for failure in failures:
        print(failure)
    print(f"programs.tsv: {len(listed)} programs found and checked, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
