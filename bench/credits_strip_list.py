#!/usr/bin/env python3
"""Writes a 400-paragraph credits list for timing the strip builder: centred department headings,
role and name lines (some Chinese, some in colour), blank spacer paragraphs and two logos. Usage:
    credits_strip_list.py OUT.docx [PARAGRAPHS]   (default 400)
For timing against the list's size, a list of N names in one of four shapes:
    credits_strip_list.py --kind breaks|paragraphs|cells|pages|square|bloat OUT N
breaks: one paragraph, the names split by forced line breaks; paragraphs: a paragraph a name;
cells: a two-column table of roles and names, N cells; pages: a PDF of N pages, 40 names a page;
square: an N × N table; bloat: N MB of one-name paragraphs (a small file, as markup packs well)."""
import os
import sys
import tempfile
import zipfile

from docx import Document
from docx.enum.text import WD_ALIGN_PARAGRAPH
from docx.shared import Pt, RGBColor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from documents_credits import png  # noqa: E402  (the same logo picture as the reader's benchmark list)


NAMES = ['Ada Moreno', 'Bo Lindqvist', 'Chen Wei 陈伟', 'Dara Okafor', 'Eli Novak', 'Fumiko Sato',
         'Gus Almeida', 'Hana Kim', 'Ivo Petrov', 'Jun Park']


def name(i):
    return '%s %d' % (NAMES[i % len(NAMES)], i)


def run(text):
    return '<w:r><w:t xml:space="preserve">%s</w:t></w:r>' % text


def write_docx(out, body):
    """A minimal package written directly: python-docx takes minutes over 100,000 breaks or cells."""
    ns = 'http://schemas.openxmlformats.org/wordprocessingml/2006/main'
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('[Content_Types].xml',
                   '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/'
                   '2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-'
                   'package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/>'
                   '<Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-'
                   'officedocument.wordprocessingml.document.main+xml"/></Types>')
        z.writestr('_rels/.rels',
                   '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/'
                   'package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/'
                   'officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/></Relationships>')
        z.writestr('word/document.xml',
                   '<?xml version="1.0" encoding="UTF-8"?><w:document xmlns:w="%s"><w:body>%s</w:body></w:document>'
                   % (ns, body))


def scaled(kind, out, n):
    centred = '<w:pPr><w:jc w:val="center"/></w:pPr>'
    if kind == 'breaks':
        write_docx(out, '<w:p>%s%s</w:p>' % (centred, '<w:r><w:br/></w:r>'.join(run(name(i)) for i in range(n))))
    elif kind == 'paragraphs':
        write_docx(out, ''.join('<w:p>%s%s</w:p>' % (centred, run(name(i))) for i in range(n)))
    elif kind == 'cells':
        cell = '<w:tc><w:p>%s</w:p></w:tc>'
        rows = ''.join('<w:tr>%s%s</w:tr>' % (cell % run('Role %d' % i), cell % run(name(i))) for i in range(n // 2))
        write_docx(out, '<w:tbl>%s</w:tbl>' % rows)
    elif kind == 'square':
        row = '<w:tr>%s</w:tr>' % ''.join('<w:tc><w:p>%s</w:p></w:tc>' % run('N%d' % i) for i in range(n))
        write_docx(out, '<w:tbl>%s</w:tbl>' % (row * n))
    elif kind == 'bloat':
        p = '<w:p>%s</w:p>' % run('Ada Moreno')
        write_docx(out, p * (n * 1024 * 1024 // len(p)))
    elif kind == 'pages':
        from reportlab.lib.pagesizes import A4
        from reportlab.pdfgen import canvas
        c = canvas.Canvas(out, pagesize=A4)
        for page in range(n):
            for line in range(40):
                c.drawCentredString(A4[0] / 2, A4[1] - 72 - line * 17, name(page * 40 + line))
            c.showPage()
        c.save()
    else:
        sys.exit('unknown kind: ' + kind)


def main():
    if sys.argv[1] == '--kind':
        scaled(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
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
