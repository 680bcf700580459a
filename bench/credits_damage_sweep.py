#!/usr/bin/env python3
"""Damaged credits lists read through `qm-bench docx` and `qm-bench credits-strip`, each read counted
as whole (exit 0, every line or page there), told (exit 3, the loss named on stderr), refused (any
other exit, with words) or SILENT (exit 0 with lines or pages missing).

  Word: a 12-line python-docx list with a logo; 150 copies whose word/document.xml has a bit
        flipped, is cut at a random byte, or holds a bad UTF-8 or NUL byte (the part rewritten,
        so its CRC matches); 30 copies stored uncompressed with one bit flipped in place (the
        CRC-32 check must tell those).
  PDF:  a two-page reportlab list; 220 copies with one bit flipped.

Usage: credits_damage_sweep.py [--build DIR] [--seed S]
"""
import argparse, io, os, random, subprocess, sys, tempfile, zipfile

from docx import Document
from PIL import Image
from reportlab.pdfgen import canvas

parser = argparse.ArgumentParser()
parser.add_argument('--build', default='build')
parser.add_argument('--seed', type=int, default=7)
args = parser.parse_args()
bench = os.path.abspath(os.path.join(args.build, 'bench', 'qm-bench'))
random.seed(args.seed)
os.environ.setdefault('QT_QPA_PLATFORM', 'offscreen')
work = tempfile.mkdtemp(prefix='credits-damage-')
os.chdir(work)


def count(stats, outcome):
    stats[outcome] = stats.get(outcome, 0) + 1


def docx_lines(path):
    r = subprocess.run([bench, 'docx', path], capture_output=True, text=True, timeout=120)
    return r.returncode, r.stdout.count('\n')


Image.new('RGB', (40, 20), 'red').save('logo.png')
d = Document()
for i in range(12):
    if i == 5:
        d.add_paragraph().add_run().add_picture('logo.png')
    else:
        d.add_paragraph(f'Role {i}   Name {i} 王小明')
d.save('list.docx')
rc, whole = docx_lines('list.docx')
assert rc == 0, 'the intact list does not read'
with zipfile.ZipFile('list.docx') as z:
    parts = {i.filename: z.read(i.filename) for i in z.infolist()}
xml = parts['word/document.xml']

stats = {}
for k in range(150):
    data = bytearray(xml)
    at = random.randrange(len(data))
    if k % 3 == 0:
        data[at] ^= 1 << random.randrange(8)
    elif k % 3 == 1:
        data = data[:at]
    else:
        data[at:at + 1] = random.choice([b'\xff', b'\0', b'\xc3('])
    with zipfile.ZipFile('m.docx', 'w', zipfile.ZIP_DEFLATED) as zo:
        for name, part in parts.items():
            zo.writestr(name, bytes(data) if name == 'word/document.xml' else part)
    rc, n = docx_lines('m.docx')
    count(stats, 'refused' if rc not in (0, 3) else 'told' if rc == 3 else 'whole' if n == whole else 'SILENT')
print('word/document.xml mutated:', stats)

stats = {}
buffer = io.BytesIO()
with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_STORED) as zo:
    for name, part in parts.items():
        zo.writestr(name, part)
stored = buffer.getvalue()
start = stored.index(b'<w:body>')
for k in range(30):
    data = bytearray(stored)
    data[random.randrange(start, start + len(xml) // 2)] ^= 1 << random.randrange(8)
    open('s.docx', 'wb').write(data)
    rc, n = docx_lines('s.docx')
    count(stats, 'refused' if rc not in (0, 3) else 'told' if rc == 3 else 'whole' if n == whole else 'SILENT')
print('stored document.xml, a bit flipped:', stats)

c = canvas.Canvas('two.pdf', pagesize=(400, 300))
for names in (('Director', 'Wang Xiaoming'), ('Producer', 'Li Bai')):
    c.setFont('Helvetica', 24)
    c.drawString(50, 200, names[0])
    c.drawString(50, 150, names[1])
    c.showPage()
c.save()
open('s.json', 'w').write('{"width": 1000, "contentWidthPercent": 50}')
pdf = open('two.pdf', 'rb').read()
stats = {}
for k in range(220):
    data = bytearray(pdf)
    data[random.randrange(len(data))] ^= 1 << random.randrange(8)
    open('f.pdf', 'wb').write(data)
    r = subprocess.run([bench, 'credits-strip', 'f.pdf', '--settings', 's.json', '--out', 'f.png'],
                       capture_output=True, text=True, timeout=120)
    tiles = r.stdout.count('tile top=')
    count(stats, 'refused' if r.returncode not in (0, 3) else 'told' if r.returncode == 3
          else 'whole' if tiles == 2 else 'SILENT')
print('two-page PDF, a bit flipped:', stats)
