#!/usr/bin/python3
"""docs/messages.md stays true: every text the programs and run.sh can put
on a line of their own (a string literal of the sources with a space in it,
cut at what is filled in when it is said) is in it, word for word.

Usage: messages_test.py SOURCE_DIR
"""
import glob
import re
import sys

root = sys.argv[1]
# Names matched against devices, never said.
NOT_SAID = {'wiiuse/src/sysfs.cpp', 'wiiuse/src/trust.cpp'}
C_LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
SH_LITERAL = re.compile(r'"((?:[^"\\\n$]|\\.|\$\([^)]*\)|\$\{[^}]*\}|\$\w+)*)"')
FILLED_C = re.compile(r'%[-.0-9l]*[sdiuf]|\\n')
FILLED_SH = re.compile(r'\$\([^)]*\)|\$\{[^}]*\}|\$\w+|\\n')


def flat(text):
    return ' '.join(text.split())


def pieces():
    """(file, piece) for each part of a literal that is said as it is."""
    for path in sorted(glob.glob(f'{root}/hitcheck/*.cpp') + glob.glob(f'{root}/hitview/*.cpp') +
                       glob.glob(f'{root}/serialpulse/*.cpp') +
                       glob.glob(f'{root}/wiiuse/src/*.cpp')):
        name = path[len(root) + 1:]
        if name in NOT_SAID:
            continue
        code = re.sub(r'//[^\n]*', '', open(path, encoding='utf-8').read())
        # Literals side by side are one.
        code = re.sub(r'"\s*\n\s*"', '', code)
        for m in C_LITERAL.finditer(code):
            if ' ' in m.group(1):
                for p in FILLED_C.split(m.group(1).replace('\\"', '"')):
                    yield name, p
    for name in ('run.sh', 'scripts/need-packages.sh'):
        # A command continued on the next line is one line.
        for line in open(f'{root}/{name}', encoding='utf-8').read().replace('\\\n', ' ').split('\n'):
            if line.lstrip().startswith('#') or not re.search(r'echo |missing\+=|root_step ', line):
                continue
            for m in SH_LITERAL.finditer(line):
                for p in FILLED_SH.split(m.group(1).replace('\\"', '"')):
                    yield name, p


doc = flat(open(f'{root}/docs/messages.md', encoding='utf-8').read())
missing = sorted({(n, flat(p)) for n, p in pieces() if len(re.sub(r'\W', '', p)) >= 4 and flat(p) not in doc})
for name, p in missing:
    print(f'{name}: "{p}" is not in docs/messages.md')
print(f'{len(missing)} texts missing' if missing else 'every text said is in docs/messages.md')
sys.exit(1 if missing else 0)
