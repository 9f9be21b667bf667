#!/usr/bin/env python3
"""Writes a program's manual page (roff, man macros) from its --help text.

    manpage.py PROGRAM --name NAME --version VERSION [--see-also PAGE...] -o FILE

The help is CLI11's: description lines, "Usage: ...", sections such as
"Options:" and "Subcommands:" whose entries are indented by two spaces, and
a footer. A program with subcommands is asked "PROGRAM SUB --help" for each
of them, and each gets a subsection of COMMANDS. A footer that begins with
"Exit status:" becomes EXIT STATUS; any other footer stays in the text.
"""
import argparse
import re
import subprocess
import sys

ENTRY = re.compile(r"  (\S+)(?: (.*?))?(?:\s{2,}(\S.*))?$")
SECTION = re.compile(r"(\w[\w ]*):$")
EXIT_STATUS = re.compile(r"exit status:\s*", re.I)


def help_text(argv):
    run = subprocess.run(argv + ["--help"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        sys.exit("%s --help failed (exit %d): %s" % (" ".join(argv), run.returncode, run.stderr.strip()))
    return run.stdout


def parse(text):
    """The help as {description, usage, sections: [(title, [entry])], footer};
    an entry is [names, type, description]."""
    lines = text.rstrip("\n").split("\n")
    usage_at = next((i for i, l in enumerate(lines) if l.startswith("Usage:")), None)
    if usage_at is None:
        sys.exit("no Usage: line in the help")
    page = {"description": [l.strip() for l in lines[:usage_at] if l.strip()],
            "usage": lines[usage_at][len("Usage:"):].strip(), "sections": [], "footer": []}
    entries = None
    for line in lines[usage_at + 1:]:
        if not line.strip():
            entries = None
            continue
        heading = SECTION.match(line)
        if entries is None and heading:
            entries = []
            page["sections"].append((heading.group(1), entries))
        elif entries is not None and line.startswith("   ") and entries:
            entry = entries[-1]
            entry[2] = (entry[2] + " " + line.strip()).strip()
        elif entries is not None and ENTRY.match(line):
            names, kind, description = ENTRY.match(line).groups()
            entries.append([names, (kind or "").strip(), description or ""])
        else:
            entries = None
            page["footer"].append(line.strip())
    return page


def escape(text, every_dash=False):
    """Text for a roff line: backslashes, non-ASCII and the dashes of
    options (or every dash) escaped."""
    text = text.replace("\\", "\\e")
    text = re.sub(r"-" if every_dash else r"(?<![\w.])-", r"\\-", text)
    text = "".join(c if ord(c) < 128 else "\\[u%04X]" % ord(c) for c in text)
    return "\\&" + text if text[:1] in (".", "'") else text


def synopsis(usage):
    """Usage words: the program's words bold, placeholders italic."""
    out = []
    for word in usage.split():
        bare = word.strip("[]")
        if bare == word and not bare.isupper():
            out.append("\\fB%s\\fR" % escape(word))
        else:
            out.append(escape(word).replace(bare, "\\fI%s\\fR" % bare))
    return " ".join(out)


def entry_lines(names, kind, description):
    """One .TP entry: names bold, the value's type italic, a default roman."""
    tag = ", ".join("\\fB%s\\fR" % escape(n, every_dash=True) for n in names.split(","))
    if kind:
        repeat = " ..." if kind.endswith(" ...") else ""
        value, default = re.match(r"([^=]*)(.*)$", kind[:len(kind) - len(repeat)]).groups()
        tag += " \\fI%s\\fR%s" % (escape(value.strip()), escape(default + repeat))
    return [".TP", tag, escape(description) if description else "\\&"]


def paragraphs(lines):
    out = []
    for line in lines:
        out += [".PP", escape(line)]
    return out


def footer_parts(footer):
    """(exit status text or None, other footer lines)."""
    status, rest = None, []
    for line in footer:
        if EXIT_STATUS.match(line):
            status = EXIT_STATUS.sub("", line, count=1)
        else:
            rest.append(line)
    return status, rest


def exit_status_lines(text):
    """'0 done, 1 a failure, ...' as a list of codes, else a paragraph."""
    parts = re.split(r",\s+(?=\d+\s)", text.rstrip("."))
    if not all(re.match(r"\d+\s", p) for p in parts):
        return [".PP", escape(text)]
    out = []
    for part in parts:
        code, meaning = part.split(None, 1)
        out += [".TP", "\\fB%s\\fR" % code, escape(meaning[0].upper() + meaning[1:] + ".")]
    return out


def section_lines(page, top):
    """The entries of a help's sections: Options under OPTIONS at the top,
    anything else under a label of its own."""
    out = []
    for title, entries in page["sections"]:
        if title == "Subcommands":
            continue
        if top and title == "Options":
            out.append(".SH OPTIONS")
        else:
            out += [".PP", "\\fI%s:\\fR" % escape(title)]
        for entry in entries:
            out += entry_lines(*entry)
    return out


def manpage(program, name, version, see_also):
    top = parse(help_text([program]))
    subs = []
    for title, entries in top["sections"]:
        if title == "Subcommands":
            subs += [(e[0], parse(help_text([program, e[0]]))) for e in entries]

    summary = " ".join(top["description"]) or name
    summary = re.sub(r"^%s:\s*" % re.escape(name), "", summary)
    first, _, more = summary.partition(". ")
    out = ['.TH %s 1 "" "%s %s" "User Commands"' % (name.upper(), name, version),
           # Not hyphenated: names, paths and variables stay whole.
           ".nh", ".SH NAME", "%s \\- %s" % (name, escape(first.rstrip("."))), ".SH SYNOPSIS"]
    for i, usage in enumerate([top["usage"]] + [p["usage"] for _, p in subs]):
        out += ([".br"] if i else []) + [synopsis(usage)]

    status, rest = footer_parts(top["footer"])
    description = ([more] if more else []) + rest
    if description or not subs:
        out += [".SH DESCRIPTION"] + (paragraphs(description) if description else [".PP", escape(first[:1].upper() + first[1:])])
    out += section_lines(top, True)
    sub_status = []
    if subs:
        out.append(".SH COMMANDS")
    for sub, page in subs:
        out += [".SS %s" % escape(sub), synopsis(page["usage"])]
        own_status, own_rest = footer_parts(page["footer"])
        out += paragraphs(page["description"]) + section_lines(page, False) + paragraphs(own_rest)
        if own_status and own_status != status:
            sub_status.append((sub, own_status))
    if status or sub_status:
        out.append(".SH EXIT STATUS")
        if status:
            out += exit_status_lines(status)
        for sub, text in sub_status:
            out += [".PP", "\\fB%s %s\\fR:" % (escape(name), escape(sub))] + exit_status_lines(text)
    others = [p for p in see_also if p != name]
    if others:
        out.append(".SH SEE ALSO")
        out += [".BR %s (1)%s" % (p, "," if i < len(others) - 1 else "") for i, p in enumerate(others)]
    return "\n".join(out) + "\n"


def main():
    args = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    args.add_argument("program", help="the built program to ask for --help")
    args.add_argument("--name", required=True, help="the program's name as installed")
    args.add_argument("--version", required=True)
    args.add_argument("--see-also", nargs="*", default=[], help="pages this one points to")
    args.add_argument("-o", "--output", required=True)
    a = args.parse_args()
    text = manpage(a.program, a.name, a.version, a.see_also)
    with open(a.output, "w", encoding="ascii") as f:
        f.write(text)


if __name__ == "__main__":
    main()
