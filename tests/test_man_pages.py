#!/usr/bin/python3
"""The man pages against the programs they describe.

Each page, as built, is read by groff with every warning on and must draw
none. Each program's options as its --help lists them are exactly the
options its page lists under OPTIONS. The gateway's keys, as the gateway
itself names them when it refuses an unknown one, are exactly the keys
qvgateway.toml(5) lists under each table's heading: a key added to the
code without its line in the page fails here, and so does a page that
keeps a key the code no longer takes. Copies of the pages broken on
purpose are checked too, so that each check is known to look.

Usage: test_man_pages.py BIN_DIR MAN_DIR SOURCE_DIR
"""
import os
import re
import subprocess
import sys
import tempfile

BIN, MAN, SOURCE = sys.argv[1:4]

PAGES = ["qvpoll.1", "qvsim.1", "qvgateway.8", "qvgateway.toml.5"]
# program, its page
PROGRAMS = [("qvpoll", "qvpoll.1"), ("qvsim", "qvsim.1"), ("qvgateway", "qvgateway.8")]

OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*)")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def groff_findings(page_path):
    run = subprocess.run(["groff", "-k", "-ww", "-z", "-man", page_path], capture_output=True, text=True)
    return (run.stderr.strip() + ("" if run.returncode == 0 else f" (groff exit status {run.returncode})")).strip()


def help_options(program):
    run = subprocess.run([os.path.join(BIN, program), "--help"], capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        raise RuntimeError(f"{program} --help exited {run.returncode}: {run.stderr}")
    return set(OPTION.findall(run.stdout))


def section(source, title):
    """The lines of a top-level section (# TITLE) of an scdoc source."""
    lines, inside = [], False
    for line in source.splitlines():
        if line.startswith("# "):
            inside = line[2:].strip() == title
            continue
        if inside:
            lines.append(line)
    return lines


def page_options(source):
    # A term line starts at the margin with the option in bold.
    return {o for line in section(source, "OPTIONS") if line.startswith("*-")
            for o in OPTION.findall(" ".join(re.findall(r"\*([^*]+)\*", line)))}


def page_tables(source):
    """{table name: (array of tables?, set of keys)} from the # [x] and # [[x]] sections."""
    tables = {}
    for line in source.splitlines():
        heading = re.fullmatch(r"# (\[\[?)([a-z_]+)\]\]?", line)
        if heading:
            name = heading.group(2)
            tables[name] = (heading.group(1) == "[[", {
                m.group(1) for l in section(source, line[2:]) if (m := re.match(r"\*([a-z0-9_]+)\* =", l))})
    return tables


def refused_keys(files_text, workdir):
    """{table shown as the gateway says it: keys} from its "unknown key" refusals."""
    path = os.path.join(workdir, "probe.toml")
    with open(path, "w") as f:
        f.write(files_text)
    run = subprocess.run([os.path.join(BIN, "qvgateway"), "--check-config", path],
                         capture_output=True, text=True, timeout=60)
    found = {}
    for m in re.finditer(r"unknown key; (the file|\[[^\]]+\]?\]) takes ([a-z0-9_, ]+)", run.stderr):
        found[m.group(1)] = set(m.group(2).split(", "))
    return found


def gateway_tables(workdir):
    """{table: (array of tables?, keys)}, as the gateway itself takes them."""
    root = refused_keys("zz_probe = 1\n", workdir).get("the file")
    if root is None:
        raise RuntimeError("qvgateway did not name the tables a file takes")
    tables = {}
    for name in sorted(root):
        # As a table, then as an array of tables: the gateway numbers the latter.
        single = refused_keys(f"[{name}]\nzz_probe = 1\n", workdir).get(f"[{name}]")
        many = refused_keys(f"[[{name}]]\nzz_probe = 1\n", workdir).get(f"[{name}[1]]")
        if single is not None:
            tables[name] = (False, single)
        elif many is not None:
            tables[name] = (True, many)
        else:
            raise RuntimeError(f"qvgateway did not name the keys of [{name}]")
    return tables


def compare(what, documented, actual):
    problems = []
    for missing in sorted(actual - documented):
        problems.append(f"{what}: {missing} is not in the page")
    for extra in sorted(documented - actual):
        problems.append(f"{what}: the page has {extra}, which the program does not take")
    return problems


def table_problems(documented, actual):
    problems = compare("tables of qvgateway.toml(5)", set(documented), set(actual))
    for name in sorted(set(documented) & set(actual)):
        shape = lambda many: f"[[{name}]]" if many else f"[{name}]"
        if documented[name][0] != actual[name][0]:
            problems.append(f"qvgateway.toml(5) heads {shape(documented[name][0])}, the gateway takes "
                            f"{shape(actual[name][0])}")
        problems += compare(f"qvgateway.toml(5) {shape(actual[name][0])}", documented[name][1], actual[name][1])
    return problems


def main():
    failures = 0

    def report(name, problems, expect_problems=False):
        nonlocal failures
        ok = bool(problems) == expect_problems
        failures += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {name}")
        if not ok or expect_problems:
            for p in problems or ["(nothing found)"]:
                print(f"     {p}")

    with tempfile.TemporaryDirectory() as workdir:
        for page in PAGES:
            findings = groff_findings(os.path.join(MAN, page))
            report(f"{page}: groff -ww draws no warning", [findings] if findings else [])

        for program, page in PROGRAMS:
            source = read(os.path.join(SOURCE, page + ".scd"))
            report(f"{page}: the options of {program} --help",
                   compare(f"{program} --help", page_options(source), help_options(program)))

        toml_source = read(os.path.join(SOURCE, "qvgateway.toml.5.scd"))
        actual = gateway_tables(workdir)
        report("qvgateway.toml(5): every table and key the gateway takes, and no other",
               table_problems(page_tables(toml_source), actual))

        # Broken on purpose: each must be caught.
        qvpoll_source = read(os.path.join(SOURCE, "qvpoll.1.scd"))
        broken = [
            ("an option left out of qvpoll(1) is caught",
             compare("qvpoll --help", page_options(qvpoll_source.replace("*--baud* _N_", "baud _N_")),
                     help_options("qvpoll"))),
            ("an option qvpoll does not take is caught",
             compare("qvpoll --help", page_options(qvpoll_source + "\n# OPTIONS\n\n*--bogus*\n\tNone.\n"),
                     help_options("qvpoll"))),
            ("a key left out of qvgateway.toml(5) is caught",
             table_problems(page_tables(toml_source.replace("*retries* =", "retries =")), actual)),
            ("a key the gateway does not take is caught",
             table_problems(page_tables(toml_source.replace("*demote_s* =", "*demote_secs* =")), actual)),
            ("a table shown in the wrong shape is caught",
             table_problems(page_tables(toml_source.replace("# [[tag]]", "# [tag]")), actual)),
        ]
        broken_page = os.path.join(workdir, "broken.8")
        with open(broken_page, "w") as f:
            f.write(read(os.path.join(MAN, "qvgateway.8")) + ".BOGUS\n")
        broken.append(("a page groff warns about is caught",
                       [groff_findings(broken_page)] if groff_findings(broken_page) else []))
        for name, problems in broken:
            report(name, problems, expect_problems=True)

    if failures:
        print(f"{failures} check(s) failed")
        return 1
    print("man pages: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
