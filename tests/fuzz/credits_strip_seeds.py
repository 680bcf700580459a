#!/usr/bin/env python3
"""Writes the seeds of the PDF strip fuzz target: small uncompressed PDFs (text, a filled
rectangle, a crop box inside the media box, a blank page), so that mutations reach the page
content. Run from the repository root; needs python3-reportlab."""
import os
from reportlab.pdfgen import canvas

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'seeds', 'qm_credits_strip_pdf')
os.makedirs(ROOT, exist_ok=True)
c = canvas.Canvas(os.path.join(ROOT, 'pages.pdf'), pagesize=(200, 100), pageCompression=0)
c.setFillColorRGB(0.5, 0.5, 0.5); c.drawString(10, 60, 'Director  Jane Doe')
c.setFillColorRGB(1, 0, 0); c.rect(80, 10, 40, 30, stroke=0, fill=1)
c.showPage()
c.setPageSize((200, 300)); c.setCropBox((20, 20, 180, 120)); c.drawString(30, 50, 'Cropped')
c.showPage()
c.showPage()
c.save()
