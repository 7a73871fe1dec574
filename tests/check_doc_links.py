#!/usr/bin/env python3
"""Finds links in Markdown files that lead nowhere: a file that does not
exist, or a #anchor that no heading of its file gives. Anchors follow the
rule readers' browsers see on the hosting site: the heading in lower case,
punctuation dropped, spaces to hyphens, a repeated heading numbered -1, -2.

Usage: check_doc_links.py [--absent FILE]... PATH...
A PATH that is a folder stands for its *.md files. A link to a FILE given
with --absent is accepted although the file is not there (a release that
leaves out a guide of the source tree). Exit status 0 when every link
leads somewhere, 1 naming each one that does not, 2 for a bad command line.
"""
import argparse
import os
import re
import sys

FENCE = re.compile(r'^\s{0,3}(```|~~~)')
HEADING = re.compile(r'^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$')
# A code span is matched first where one starts, so that a link's text
# may hold code but a link inside code is not taken for one.
INLINE = re.compile(r'(`+).+?\1|!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+"[^"]*")?\s*\)')
REFERENCE = re.compile(r'^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+"[^"]*")?\s*$')
EXTERNAL = re.compile(r'^[a-zA-Z][a-zA-Z0-9+.-]*:')
PICTURE = ('.png', '.jpg', '.jpeg', '.gif', '.svg', '.webp')


def anchor_of(heading):
    text = re.sub(r'`', '', heading).strip().lower()
    text = re.sub(r'[^\w\- ]', '', text)
    return text.replace(' ', '-')


def prose_lines(text):
    """(line number, line) of the text outside fenced code."""
    fence = None
    for number, line in enumerate(text.split('\n'), 1):
        m = FENCE.match(line)
        if fence:
            if m and m.group(1) == fence:
                fence = None
            continue
        if m:
            fence = m.group(1)
            continue
        yield number, line


def anchors(path):
    with open(path, encoding='utf-8') as f:
        text = f.read()
    seen = {}
    found = set()
    for _, line in prose_lines(text):
        m = HEADING.match(line)
        if not m:
            continue
        base = anchor_of(m.group(2))
        n = seen.get(base, 0)
        seen[base] = n + 1
        found.add(base if n == 0 else f'{base}-{n}')
    return found


def links(text):
    """(line number, target) of every inline and reference link."""
    for number, line in prose_lines(text):
        m = REFERENCE.match(line)
        if m:
            yield number, m.group(1)
            continue
        for m in INLINE.finditer(line):
            if m.group(1) is None:
                yield number, m.group(2)


def broken_links(paths, absent=()):
    """(file, line, target, why) of each link in the files that leads nowhere."""
    absent = {os.path.abspath(a) for a in absent}
    cache = {}
    problems = []
    for path in paths:
        with open(path, encoding='utf-8') as f:
            text = f.read()
        for number, target in links(text):
            if not target or EXTERNAL.match(target):
                continue
            name, _, fragment = target.partition('#')
            file = os.path.abspath(os.path.join(os.path.dirname(path), name)) if name else os.path.abspath(path)
            if file in absent:
                continue
            if not os.path.isfile(file):
                problems.append((path, number, target, 'no such file'))
                continue
            if not fragment:
                continue
            if file.lower().endswith(PICTURE):
                problems.append((path, number, target, 'a picture has no headings'))
                continue
            if file not in cache:
                cache[file] = anchors(file)
            if fragment not in cache[file]:
                problems.append((path, number, target, 'no heading gives that anchor'))
    return problems


def markdown_files(paths):
    for path in paths:
        if os.path.isdir(path):
            yield from sorted(os.path.join(path, n) for n in os.listdir(path) if n.endswith('.md'))
        else:
            yield path


def main(argv):
    parser = argparse.ArgumentParser(description='Find Markdown links that lead nowhere.')
    parser.add_argument('--absent', action='append', default=[], metavar='FILE',
                        help='a file links may name although it is not there')
    parser.add_argument('paths', nargs='+', metavar='PATH')
    args = parser.parse_args(argv)
    files = list(markdown_files(args.paths))
    for path in files:
        if not os.path.isfile(path):
            print(f'check_doc_links.py: {path} does not exist: name a Markdown file or a folder of them', file=sys.stderr)
            return 2
    problems = broken_links(files, args.absent)
    for path, number, target, why in problems:
        print(f'{path}:{number}: link to {target}: {why}')
    if problems:
        print(f'{len(problems)} link(s) lead nowhere: correct the target or the heading it names')
        return 1
    print(f'links in {len(files)} file(s): every one leads to a file and heading that exist')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
