#!/usr/bin/env python3
"""Writes a credits-like Word document for timing the .docx reader: headings in a title style, role and
name rows in two-column tables, paragraphs of names, and a few logos. Usage:
    documents_credits.py OUT.docx [PAGES]   (default 200 pages, about 45 lines each)"""
import os
import struct
import sys
import tempfile
import zlib

from docx import Document
from docx.enum.style import WD_STYLE_TYPE
from docx.enum.text import WD_ALIGN_PARAGRAPH
from docx.shared import Inches, Pt, RGBColor


def png(path, width, height):
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    rows = b''.join(b'\x00' + b''.join(bytes((x * 7 % 256, y * 5 % 256, 128, 255)) for x in range(width))
                    for y in range(height))
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


def main():
    out = sys.argv[1]
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    doc = Document()
    heading = doc.styles.add_style('CreditHeading', WD_STYLE_TYPE.PARAGRAPH)
    heading.base_style = doc.styles['Normal']
    heading.font.size = Pt(16)
    heading.font.bold = True
    heading.paragraph_format.alignment = WD_ALIGN_PARAGRAPH.CENTER
    heading.paragraph_format.space_before = Pt(18)
    name_style = doc.styles.add_style('CreditName', WD_STYLE_TYPE.PARAGRAPH)
    name_style.base_style = heading
    name_style.font.size = Pt(12)
    name_style.font.bold = False
    logo = os.path.join(tempfile.mkdtemp(), 'logo.png')
    png(logo, 320, 120)
    roles = ['Director', 'Producer', 'Director of Photography', 'Editor', 'Sound Design', 'Colourist',
             'Gaffer', 'Key Grip', '美術指導', '剪輯']
    person = 0
    for page in range(pages):
        doc.add_paragraph('Department %d' % page, style='CreditHeading')
        table = doc.add_table(rows=14, cols=2)
        for row in table.rows:
            person += 1
            row.cells[0].text = roles[person % len(roles)]
            run = row.cells[1].paragraphs[0].add_run('Person Number %d' % person)
            run.font.color.rgb = RGBColor(0xEE, 0xEE, 0xEE)
        for _ in range(10):
            person += 1
            p = doc.add_paragraph(style='CreditName')
            p.add_run('Name %d' % person)
            p.add_run('\t')
            r = p.add_run('Assistant %d' % (person + 1))
            r.italic = True
        if page % 20 == 0:
            doc.add_paragraph(style='CreditName').add_run().add_picture(logo, width=Inches(3))
        doc.add_paragraph()
    doc.save(out)


if __name__ == '__main__':
    main()
