#!/usr/bin/env python3
"""The documentation link check against a small tree of its own: each case
is a set of files and the links the check must report, no more, no less."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_doc_links  # noqa: E402

GUIDE = '''# Guide

## Metrics and health (HTTP)
## Day one: finding the controller
## The driver, measured (`make bench`)
## Notes
## Notes

```
## Fenced
```
'''

# (what, the file under test, the broken targets it must report)
CASES = [
    ('a good link to a file', '[g](docs/guide.md)', []),
    ('a good link to a heading', '[g](docs/guide.md#notes)', []),
    ('a missing file', '[x](docs/nothere.md)', ['docs/nothere.md']),
    ('a missing anchor', '[x](docs/guide.md#no-such-part)', ['docs/guide.md#no-such-part']),
    ('punctuation dropped from the anchor', '[x](docs/guide.md#metrics-and-health-http)', []),
    ('punctuation kept in the anchor', '[x](docs/guide.md#metrics-and-health-(http))', ['docs/guide.md#metrics-and-health-(http']),
    ('a colon dropped', '[x](docs/guide.md#day-one-finding-the-controller)', []),
    ('code in a heading', '[x](docs/guide.md#the-driver-measured-make-bench)', []),
    ('upper case is not an anchor', '[x](docs/guide.md#Notes)', ['docs/guide.md#Notes']),
    ('a repeated heading numbered', '[x](docs/guide.md#notes-1)', []),
    ('no third repeat', '[x](docs/guide.md#notes-2)', ['docs/guide.md#notes-2']),
    ('an anchor of this file', '# Top\n\n## Here\n\n[x](#here) [y](#there)', ['#there']),
    ('a missing picture', '![p](docs/none.png)', ['docs/none.png']),
    ('a present picture', '![p](docs/page.png)', []),
    ('a web address is not checked', '[w](https://example.invalid/x.md)', []),
    ('a link in code is not one', '`[x](nothere.md)` and\n```\n[y](nothere.md)\n```', []),
    ('code inside a link text', '[`qvpoll`](docs/gone.md)', ['docs/gone.md']),
    ('a link with a title', '[x](docs/guide.md#nope "title")', ['docs/guide.md#nope']),
    ('a reference link', '[x][r]\n\n[r]: docs/gone.md', ['docs/gone.md']),
    ('two on one line', '[a](docs/guide.md) [b](docs/b.md)', ['docs/b.md']),
    ('a heading in a fence gives no anchor', '[g](docs/guide.md#fenced)', ['docs/guide.md#fenced']),
]


def check_case(root, text):
    readme = os.path.join(root, 'README.md')
    with open(readme, 'w', encoding='utf-8') as f:
        f.write(text)
    return [target for _, _, target, _ in check_doc_links.broken_links([readme])]


def main():
    failures = 0
    with tempfile.TemporaryDirectory(prefix='doclinks.') as root:
        os.mkdir(os.path.join(root, 'docs'))
        with open(os.path.join(root, 'docs', 'guide.md'), 'w', encoding='utf-8') as f:
            f.write(GUIDE)
        with open(os.path.join(root, 'docs', 'page.png'), 'wb') as f:
            f.write(b'\x89PNG\r\n')
        for what, text, expected in CASES:
            got = check_case(root, text)
            ok = got == expected
            failures += not ok
            print(f'{"ok  " if ok else "FAIL"} {what}' + ('' if ok else f': expected {expected}, got {got}'))

        # The command line: exit status and the names it gives, a guide
        # left out on purpose, and a folder standing for its guides.
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'check_doc_links.py')
        readme = os.path.join(root, 'README.md')
        with open(readme, 'w', encoding='utf-8') as f:
            f.write('[a](docs/guide.md#notes)\n[b](docs/developer.md)\n')
        runs = [
            ('a link nowhere fails and is named', [readme], 1, 'developer.md'),
            ('a guide named absent is accepted', ['--absent', os.path.join(root, 'docs', 'developer.md'), readme], 0, 'every one'),
            ('a folder stands for its guides', [os.path.join(root, 'docs')], 0, '1 file(s)'),
            ('a path that is not there is refused', [os.path.join(root, 'nothing.md')], 2, 'does not exist'),
        ]
        for what, args, status, text in runs:
            run = subprocess.run([sys.executable, script, *args], capture_output=True, text=True)
            ok = run.returncode == status and text in run.stdout + run.stderr
            failures += not ok
            print(f'{"ok  " if ok else "FAIL"} {what}' + ('' if ok else f': status {run.returncode}, {run.stdout}{run.stderr}'))
    print(f'{failures} failed' if failures else 'all cases passed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
