#!/usr/bin/python3
"""The translation catalogues: complete, faithful to the sources' placeholders, and
up to date with the sources (lupdate over them adds and drops nothing).

Usage: catalogue_test.py SOURCE_DIR
"""
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

HAN = re.compile(r'[\u3000-\u9fff\uff00-\uffef]')
QT_ARG = re.compile(r'%(?:\d{1,2}|n|L\d{1,2})')
PRINTF = re.compile(r'%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|j|z|t|L)?[diouxXeEfgGaAcspn%]')


def messages(path):
    """(context, source) -> list of translation texts, and the type of each entry."""
    out = {}
    for context in ET.parse(path).getroot().iter('context'):
        name = context.findtext('name')
        for m in context.iter('message'):
            tr = m.find('translation')
            forms = [f.text or '' for f in tr.iter('numerusform')] or [tr.text or '']
            out[(name, m.findtext('source'))] = (forms, tr.get('type', ''))
    return out


def placeholders(text):
    # printf conversions keep their order and the arguments they take; Qt's %1.. may
    # move. Flags, width and precision may change ("%.0s" prints an English plural's
    # "s" as nothing), a '*' may not: it takes an argument.
    qt = sorted(QT_ARG.findall(text))
    printf = [re.sub(r'[-+ #0-9.]', '', p) for p in PRINTF.findall(QT_ARG.sub('', text))]
    return qt, printf


def check(path, faults):
    root = ET.parse(path).getroot()
    language = root.get('language', '')
    # The source language's own catalogue translates the texts added in English; the
    # texts written in it are shown as they stand.
    source_language = language.split('_')[0] == root.get('sourcelanguage', '').split('_')[0]
    entries = messages(path)
    if not entries:
        faults.append(f'{path}: no messages')
    for (context, source), (forms, kind) in entries.items():
        where = f'{os.path.basename(path)} [{context}] {source!r}'
        if kind:
            faults.append(f'{where}: {kind}')
        for text in forms:
            if not text:
                faults.append(f'{where}: no translation')
                continue
            if placeholders(text) != placeholders(source) and '%n' not in source:
                faults.append(f'{where}: placeholders {placeholders(source)} became '
                              f'{placeholders(text)} in {text!r}')
            if source_language and HAN.search(source) and text != source:
                faults.append(f'{where}: a source text changed to {text!r}')
            if language.startswith('en') and HAN.search(text):
                faults.append(f'{where}: English translation {text!r} is not English')
    return entries


def main():
    root = sys.argv[1]
    faults = []
    catalogues = sorted(os.path.join(root, 'i18n', f)
                        for f in os.listdir(os.path.join(root, 'i18n')) if f.endswith('.ts'))
    if not catalogues:
        faults.append('no catalogue in i18n/')
    committed = {path: check(path, faults) for path in catalogues}

    with tempfile.TemporaryDirectory() as into:
        run = subprocess.run([os.path.join(root, 'scripts', 'update-translations'), '--into', into],
                             capture_output=True, text=True)
        if run.returncode != 0:
            faults.append(f'scripts/update-translations failed ({run.returncode}): {run.stderr}')
        else:
            for path, entries in committed.items():
                updated = messages(os.path.join(into, os.path.basename(path)))
                for key in sorted(set(updated) - set(entries)):
                    faults.append(f'{os.path.basename(path)}: text not in the catalogue: {key}')
                for key in sorted(set(entries) - set(updated)):
                    faults.append(f'{os.path.basename(path)}: text no longer in the sources: {key}')

    for f in faults:
        print(f)
    print(f'{len(catalogues)} catalogue(s), {sum(len(e) for e in committed.values())} texts, '
          f'{len(faults)} fault(s)')
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
