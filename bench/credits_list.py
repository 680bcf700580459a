#!/usr/bin/env python3
"""Writes a credits list for timing the End Credits mode: a title and ENTRIES centred entries, each a role
line and a name line, in a few sections. Usage:
    credits_list.py OUT.docx [ENTRIES]   (default 200)"""
import sys

from docx import Document
from docx.enum.text import WD_ALIGN_PARAGRAPH
from docx.shared import Pt

ROLES = ['Director', 'Producer', 'Camera', 'Editor', 'Sound', 'Lighting', 'Stage Manager', 'Costume', 'Make-up',
         'Visuals']
NAMES = ['Ada Moreno', 'Bo Lindqvist', 'Chen Wei', 'Dara Okafor', 'Eli Novak', 'Fumiko Sato', 'Gus Almeida',
         'Hana Kim', 'Ivo Petrov', 'Jun Park']


def centred(doc, text, size, bold=False, after=0):
    p = doc.add_paragraph()
    p.alignment = WD_ALIGN_PARAGRAPH.CENTER
    p.paragraph_format.space_after = Pt(after)
    run = p.add_run(text)
    run.font.size = Pt(size)
    run.bold = bold


def main():
    out = sys.argv[1]
    entries = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    doc = Document()
    centred(doc, 'The Night Show', 28, True, 18)
    for i in range(entries):
        if i % 25 == 0:
            centred(doc, 'Part %d' % (i // 25 + 1), 20, True, 12)
        centred(doc, ROLES[i % len(ROLES)], 11)
        centred(doc, NAMES[(i * 7) % len(NAMES)] + (' %d' % i if i >= len(NAMES) else ''), 14, False, 8)
    doc.save(out)


if __name__ == '__main__':
    main()
