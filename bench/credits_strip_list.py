#!/usr/bin/env python3
"""Writes a 400-paragraph credits list for timing the strip builder: centred department headings,
role and name lines (some Chinese, some in colour), blank spacer paragraphs and two logos. Usage:
    credits_strip_list.py OUT.docx [PARAGRAPHS]   (default 400)"""
import os
import sys
import tempfile

from docx import Document
from docx.enum.text import WD_ALIGN_PARAGRAPH
from docx.shared import Pt, RGBColor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from documents_credits import png  # noqa: E402  (the same logo picture as the reader's benchmark list)


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    logo = os.path.join(tempfile.mkdtemp(), 'logo.png')
    png(logo, 320, 120)
    roles = ['Director', 'Producer', 'Director of Photography', 'Editor', 'Sound Design', '美术指导', '剪辑', '灯光']
    doc = Document()
    n = 0
    while n < count:
        p = doc.add_paragraph()
        p.alignment = WD_ALIGN_PARAGRAPH.CENTER
        p.paragraph_format.space_before = Pt(18)
        r = p.add_run('Department %d' % n)
        r.bold = True
        r.font.size = Pt(16)
        n += 1
        if n % 100 == 1:
            p = doc.add_paragraph()
            p.alignment = WD_ALIGN_PARAGRAPH.CENTER
            p.add_run().add_picture(logo, width=Pt(160), height=Pt(60))
            n += 1
        for k in range(8):
            p = doc.add_paragraph()
            p.alignment = WD_ALIGN_PARAGRAPH.CENTER
            r = p.add_run(roles[(n + k) % len(roles)] + '    ')
            r.font.size = Pt(11)
            r = p.add_run('Person Number %d' % (n + k))
            r.font.size = Pt(12)
            if k % 3 == 0:
                r.font.color.rgb = RGBColor(0xCC, 0xAA, 0x33)
            n += 1
        doc.add_paragraph()
        n += 1
    doc.save(out)


if __name__ == '__main__':
    main()
