#!/usr/bin/env python3
"""The manual pages and kelmo's bash completion against the programs' help
as it is now: every option documented and completed, the pages free of
roff warnings, the completion at work in bash, both installed."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

args = argparse.ArgumentParser()
args.add_argument("--program", action="append", required=True, help="NAME=PATH of a built program")
args.add_argument("--man-dir", required=True)
args.add_argument("--completion", required=True)
args.add_argument("--build-dir", required=True)
args.add_argument("--cmake", required=True)
args.add_argument("--mandir", required=True, help="CMAKE_INSTALL_MANDIR")
args.add_argument("--datadir", required=True, help="CMAKE_INSTALL_DATADIR")
a = args.parse_args()
programs = dict(p.split("=", 1) for p in a.program)
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def run(argv, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def section(text, title):
    """The first column of the entries of a help section."""
    block = re.search(r"^%s:\n(.*?)(?:\n\n|\Z)" % title, text, re.M | re.S)
    return re.findall(r"^  (\S+)", block.group(1), re.M) if block else []


def complete(*words, cwd=None):
    """What the completion offers for kelmo WORDS (the last one being typed)."""
    driver = """
        [ -r /usr/share/bash-completion/bash_completion ] && . /usr/share/bash-completion/bash_completion
        . "$0"
        COMP_WORDS=(kelmo "$@"); COMP_CWORD=$#; COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
        "$(complete -p kelmo | sed -E 's/.*-F ([^ ]+).*/\\1/')" kelmo "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        printf '%s\\n' "${COMPREPLY[@]}"
    """
    env = dict(os.environ, PATH=os.path.dirname(programs["kelmo"]) + os.pathsep + os.environ["PATH"])
    return run(["bash", "--norc", "--noprofile", "-c", driver, a.completion, *words], env=env, cwd=cwd).stdout.split()


# Every option of every help, in its page (in its command's section) and,
# for kelmo, among what the completion offers.
kelmo = programs["kelmo"]
helps = [(name, [], run([path, "--help"]).stdout) for name, path in programs.items()]
subs = section(run([kelmo, "--help"]).stdout, "Subcommands")
check(subs, "kelmo --help lists subcommands")
helps += [("kelmo", [sub], run([kelmo, sub, "--help"]).stdout) for sub in subs]
for name, sub, text in helps:
    page = open(os.path.join(a.man_dir, name + ".1")).read()
    if sub:
        page = re.search(r"^\.SS %s\n(.*?)(?=^\.S[SH]|\Z)" % sub[0], page, re.M | re.S)
        check(page, "%s.1 has a section for %s" % (name, sub[0]))
        page = page.group(1) if page else ""
    options = [n for entry in section(text, "Options") for n in entry.split(",")]
    check(options, "%s %s --help lists options" % (name, " ".join(sub)))
    for option in options:
        check("\\fB%s\\fR" % option.replace("-", "\\-") in page, "%s.1 %s documents %s" % (name, " ".join(sub), option))
    if name == "kelmo":
        offered = complete(*sub, "-")
        for option in options:
            check(option in offered, "kelmo %s -<TAB> offers %s" % (" ".join(sub), option))

# The pages as groff and man see them: no warning.
pages = sorted(os.path.join(a.man_dir, p) for p in os.listdir(a.man_dir))
for page in pages:
    if shutil.which("groff"):
        for device in ([], ["-Tutf8"]):
            lint = run(["groff", "-man", "-ww", "-z"] + device + [page])
            check(lint.returncode == 0 and not lint.stderr, "groff %s: %s" % (page, lint.stderr.strip()))
    if shutil.which("man"):
        shown = run(["man", "--warnings", "-l", page], env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING=""))
        check(shown.returncode == 0 and not shown.stderr and "NAME" in shown.stdout, "man -l %s: %s" % (page, shown.stderr))

# The completion at work.
check(complete("ac") == ["acquire"], "kelmo ac<TAB> completes to acquire")
types = complete("acquire", "-t", "")
check("123" in types and "800" in types, "kelmo acquire -t <TAB> offers card types: %s" % types)
check(complete("acquire", "-m", "") == ["block", "continuous"], "kelmo acquire -m <TAB> offers the modes")
with tempfile.TemporaryDirectory() as work:
    open(os.path.join(work, "run.csv"), "w").close()
    check(complete("acquire", "-o", "ru", cwd=work) == ["run.csv"], "kelmo acquire -o ru<TAB> offers run.csv")

    # Installed where man and bash-completion look.
    install = run([a.cmake, "--install", a.build_dir, "--prefix", work])
    check(install.returncode == 0, "cmake --install: " + install.stderr.strip())
    for page in pages:
        check(os.path.isfile(os.path.join(work, a.mandir, "man1", os.path.basename(page))), "installed " + page)
    check(os.path.isfile(os.path.join(work, a.datadir, "bash-completion", "completions", "kelmo")), "installed completion")

print("%d failed" % len(failures) if failures else "all passed")
sys.exit(1 if failures else 0)
