#!/usr/bin/env python3
"""Writes the seeds of the ZIP and .docx fuzz targets: tiny archives whose XML parts are stored, not
deflated, so that mutations reach the XML readers directly. Run from the repository root."""
import os
import struct
import zipfile
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'seeds')


def png(width, height):
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    rows = b''.join(b'\x00' + b'\xff\x00\x00' * width for _ in range(height))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


STYLES = ('<w:styles><w:docDefaults><w:rPrDefault><w:rPr><w:sz w:val="24"/></w:rPr></w:rPrDefault>'
          '<w:pPrDefault><w:pPr><w:spacing w:after="200" w:line="276"/></w:pPr></w:pPrDefault></w:docDefaults>'
          '<w:style w:type="paragraph" w:default="1" w:styleId="N"><w:rPr><w:color w:val="FF0000"/></w:rPr></w:style>'
          '<w:style w:type="paragraph" w:styleId="H"><w:basedOn w:val="N"/><w:pPr><w:jc w:val="center"/>'
          '<w:ind w:left="720" w:hanging="360"/></w:pPr><w:rPr><w:b/><w:rFonts w:eastAsia="SimSun"/></w:rPr></w:style>'
          '<w:style w:type="character" w:styleId="C"><w:rPr><w:i/><w:position w:val="-4"/></w:rPr></w:style></w:styles>')
RELS = ('<Relationships><Relationship Id="r1" Target="media/a.png"/>'
        '<Relationship Id="r2" Target="/word/media/a.png"/></Relationships>')
BODY = ('<w:document><w:body>'
        '<w:p><w:pPr><w:pStyle w:val="H"/><w:spacing w:beforeLines="100" w:lineRule="exact" w:line="240"/></w:pPr>'
        '<w:r><w:rPr><w:rStyle w:val="C"/><w:sz w:val="21"/></w:rPr><w:t>Title</w:t><w:tab/><w:t>x</w:t><w:br/></w:r></w:p>'
        '<w:tbl><w:tr><w:tc><w:p><w:r><w:t>Name</w:t></w:r></w:p></w:tc><w:tc><w:p/><w:p><w:r><w:t>Role</w:t></w:r></w:p>'
        '<w:tbl><w:tr><w:tc><w:p><w:r><w:t>in</w:t></w:r></w:p></w:tc></w:tr></w:tbl></w:tc></w:tr></w:tbl>'
        '<w:p><w:r><w:drawing><wp:inline><wp:extent cx="1270000" cy="635000"/><a:graphic><pic:blipFill>'
        '<a:blip r:embed="r1"/><a:srcRect l="25000" t="10000" r="25000"/></pic:blipFill></a:graphic></wp:inline>'
        '</w:drawing></w:r><w:r><w:pict><v:imagedata r:id="r2"/></w:pict></w:r>'
        '<w:r><w:pict><v:textbox><w:txbxContent><w:p><w:r><w:t>box</w:t></w:r></w:p></w:txbxContent></v:textbox></w:pict></w:r></w:p>'
        '<w:p><w:pPr><w:sectPr><w:pgSz w:w="100"/></w:sectPr></w:pPr><w:del><w:r><w:delText>d</w:delText></w:r></w:del></w:p>'
        '<w:sectPr><w:pgSz w:w="11906"/><w:pgMar w:left="1440" w:right="1440"/></w:sectPr></w:body></w:document>')


def write(target, name, entries, method=zipfile.ZIP_STORED, comment=b''):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with zipfile.ZipFile(path, 'w', method) as z:
        for entry, data in entries:
            z.writestr(zipfile.ZipInfo(entry, (1980, 1, 1, 0, 0, 0)), data, compress_type=method)
        z.comment = comment


docx = [('word/document.xml', BODY), ('word/styles.xml', STYLES), ('word/_rels/document.xml.rels', RELS),
        ('word/media/a.png', png(4, 2))]
write('fuzz_docx_loader', 'stored.docx', docx)
write('fuzz_docx_loader', 'deflated.docx', docx, zipfile.ZIP_DEFLATED)
write('fuzz_zip_archive', 'stored.zip', [('a.txt', 'hello'), ('empty', '')], comment=b'note')
write('fuzz_zip_archive', 'deflated.zip', [('a.txt', 'hello hello hello'), ('b/', '')], zipfile.ZIP_DEFLATED)
