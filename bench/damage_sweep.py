#!/usr/bin/env python3
"""Damaged copies of noisy 640 x 360 movies (3 s, 75 pictures) read whole through the source reader
(`qm-bench read-frames`), each once on one processor and once on all of them. Every copy differs
from its intact movie in one sample, chosen with a fixed seed across the file (key frames
sometimes):

  flip    one bit flipped in the sample's coded data (not the first 8 bytes of an H.264 or HEVC
          sample, nor a transport packet header, adaptation field or PES header);
  bytes   12 random bytes written over the middle of the sample's coded data (in MPEG-TS over
          the middle of its PES payload, across transport packets where it runs over one);
  empty   the sample left listed with no data: MP4 sets its sample size to 0 (the video track
          then gets a chunk per sample, so that the other samples keep their bytes); Matroska
          shrinks the Block or SimpleBlock to its 4-byte header and fills the freed bytes with a
          Void element; MPEG-TS keeps the PES header alone in the first transport packet (its
          payload padded out with adaptation field stuffing), turns the PES's other transport
          packets into null packets (PID 0x1FFF) and renumbers the continuity counters after it;
  drop    the sample removed: Matroska turns its SimpleBlock or BlockGroup into a Void element of
          the same length; MPEG-TS turns all its transport packets into null packets and
          renumbers the continuity counters after them. MP4 has no way to remove a sample without
          rewriting the tables, so there its bytes are overwritten with zeros instead (`zeroed`);
  dup     the sample stored twice (Matroska only): its SimpleBlock or BlockGroup is copied right
          after itself, and the Cluster and Segment sizes, the SeekHead's and the Cues' positions
          and the later Clusters' Position and PrevSize follow.

and damage to the container's structure, which leaves every sample listed:

  track    (Matroska) the block's track number set to 9, a track the file lacks;
  size     (Matroska) the block's size one or seven bytes too long;
  lacing   (Matroska) lacing bits set in the block's flags (Xiph, EBML or fixed);
  cluster  (Matroska) the size of the cluster holding the block 50 bytes short;
  stamp    (Matroska) the time stamp of the cluster holding the block 1000 ticks late;
  stsz     (MP4) the sample size table's count one short;
  stts     (MP4) the count of the time-to-sample entry covering the sample one short;
  ctts     (MP4) the sample's composition offset made huge (where it has an entry of its own);
  stsc     (MP4) one run of the sample-to-chunk table given a sample more per chunk;
  packet   (MPEG-TS) one of the sample's transport packets after its first removed, the
           continuity counters left as they were (never the file's last packet: the file without
           it is the same file cut there);
  packet204, empty204  (MPEG-TS) `packet` and `empty` with every transport packet followed by 16
           bytes of (zeroed) error correction, as 204-byte packets.

Sources, made in a temporary folder from one noisy y4m: libx264 through ffmpeg (plain with
B-frames, four slices, strict B-pyramid, intra refresh) in MP4, Matroska and MPEG-TS; the x264
command line (HRD, access unit delimiters, pic_struct, top field first; and intra refresh) written
as Matroska by x264 itself and by mkvmerge, as MP4 by `ffmpeg -c copy` of the raw stream and as
MPEG-TS by `ffmpeg -c copy` of the Matroska (the raw stream's packets have no stamps for it);
libx265 in MP4, Matroska and MPEG-TS; VP9 in WebM and Matroska.

Each read is counted as refused (a non-zero exit with words), whole (exit 0 and as many pictures
as the damaged file lists samples), WRONG (exit 0 and another number), crash (a signal, or an
exit without a word) or hang (over 120 s). A variant is cpu-dependent where its two reads differ:
one refused and the other not, other picture counts, or errors naming other frames. The samples a
damaged file lists are counted in its own tables (MP4 sample sizes, Matroska blocks of the video
track, MPEG-TS PES packets of the video PID), so empty samples count, which ffprobe leaves out:
the intact count for flip, bytes, empty, zeroed and the structure damage, one fewer for drop, one
more for dup, less the
samples before an MP4 edit list's start (ffprobe marks them to be discarded; the raw x264 streams
remuxed into MP4 have two). ffprobe's own count of the damaged file is shown beside each listed
finding. Every intact source is read the same way first; one that does not read whole is listed.
The reads go through a copy of qm-bench made at the start, so that a rebuild during the sweep
changes nothing.

    bench/damage_sweep.py [--build DIR] [--variants N] [--jobs J] [--seed S] [--keep DIR] [--only TEXT]

defaults: ../build, 1500 variants (spread evenly over the source kinds, then over their containers
and damage kinds), half the processors as jobs (each runs a variant's two reads in turn; the
one-processor read goes to a processor of the job's own), seed 1. --keep copies every WRONG,
crash, hang or cpu-dependent variant there, with the reads' output beside it; --only keeps the
sources whose name holds TEXT (x264-plain.mp4, x264cli-ir.ts, x265.mkv, vp9.webm, ...). Exits 1
where a read (of a damaged copy or an intact source) is WRONG, crashes or hangs.
"""
import argparse
import concurrent.futures
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT = 120
OUTCOMES = ("refused", "whole", "WRONG", "crash", "hang")

# Source kinds in table order: label, file stem, containers.
ROWS = [
    ("libx264 plain", "x264-plain", ("mp4", "mkv", "ts")),
    ("libx264 slices", "x264-slices", ("mp4", "mkv", "ts")),
    ("libx264 b-pyramid", "x264-bpyramid", ("mp4", "mkv", "ts")),
    ("libx264 intra refresh", "x264-ir", ("mp4", "mkv", "ts")),
    ("x264 CLI HRD/AUD/pic-struct/TFF", "x264cli-hrd", ("mkv", "mp4", "ts")),
    ("x264 CLI intra refresh", "x264cli-ir", ("mkv", "mp4", "ts")),
    ("x265", "x265", ("mp4", "mkv", "ts")),
    ("VP9", "vp9", ("webm", "mkv")),
]
KINDS = ("flip", "bytes", "empty", "drop", "dup")
# Damage to the container's structure: the file still lists every sample it listed intact.
STRUCTURE = {"mkv": ("track", "size", "lacing", "cluster", "stamp"), "mp4": ("stsz", "stts", "ctts", "stsc"),
             "ts": ("packet", "packet204", "empty204")}
ALL_KINDS = KINDS + tuple(k for kinds in STRUCTURE.values() for k in kinds)
FFMPEG_VIDEO = {
    "x264-plain": ["-c:v", "libx264", "-bf", "3"],
    "x264-slices": ["-c:v", "libx264", "-x264-params", "slices=4"],
    "x264-bpyramid": ["-c:v", "libx264", "-x264-params", "b-pyramid=strict"],
    "x264-ir": ["-c:v", "libx264", "-x264-params", "intra-refresh=1:keyint=30"],
    "x265": ["-c:v", "libx265", "-x265-params", "log-level=error"],
    "vp9": ["-c:v", "libvpx-vp9", "-b:v", "1M", "-deadline", "realtime", "-cpu-used", "8"],
}
X264_CLI = {
    "x264cli-hrd": ["--nal-hrd", "vbr", "--vbv-maxrate", "4000", "--vbv-bufsize", "4000", "--aud", "--pic-struct",
                    "--tff"],
    "x264cli-ir": ["--intra-refresh", "--keyint", "30"],
}


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, **kw)


def make_sources(work, stems):
    """Encodes the movies of the given stems; returns {name: (path, row label, codec)}."""
    y4m = os.path.join(work, "noise.y4m")
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=3", "-f", "lavfi", "-i",
         "cellauto=s=640x360:r=25:rule=110:seed=1", "-filter_complex",
         "[0][1]blend=all_mode=addition:all_opacity=0.35,noise=alls=20:allf=t,format=yuv420p", "-frames:v", "75", y4m])
    sources = {}
    for label, stem, containers in ROWS:
        if stem not in stems:
            continue
        codec = "vp9" if stem == "vp9" else "hevc" if stem == "x265" else "h264"
        if stem in X264_CLI:
            raw = os.path.join(work, stem + ".264")
            run(["x264", "--quiet", "--threads", "1", "--crf", "23"] + X264_CLI[stem] + ["-o", raw, y4m])
            mkv = os.path.join(work, f"{stem}.mkv")
            for container in ("mkv",) + tuple(c for c in containers if c != "mkv"):
                out = os.path.join(work, f"{stem}.{container}")
                if container == "mkv" and stem == "x264cli-hrd":
                    run(["x264", "--quiet", "--threads", "1", "--crf", "23"] + X264_CLI[stem] + ["-o", out, y4m])
                elif container == "mkv":
                    run(["mkvmerge", "-q", "--deterministic", "1", "-o", out, "--default-duration", "0:25fps", raw])
                elif container == "ts":
                    # the raw stream has no stamps the TS muxer takes: from the Matroska's
                    run(["ffmpeg", "-v", "error", "-y", "-i", mkv, "-c", "copy", "-fflags", "+bitexact", out])
                else:
                    run(["ffmpeg", "-v", "error", "-y", "-r", "25", "-i", raw, "-c", "copy", "-fflags", "+bitexact", out])
                sources[os.path.basename(out)] = (out, label, codec)
        else:
            for container in containers:
                out = os.path.join(work, f"{stem}.{container}")
                run(["ffmpeg", "-v", "error", "-y", "-i", y4m] + FFMPEG_VIDEO[stem] + ["-fflags", "+bitexact", out])
                sources[os.path.basename(out)] = (out, label, codec)
    os.remove(y4m)
    return sources


def container_of(name):
    ext = name.rsplit(".", 1)[1]
    return "mkv" if ext in ("mkv", "webm") else ext


# ---------------------------------------------------------------- MP4

def mp4_boxes(data, start, end):
    """(type, box start, payload start, box end) of the boxes between start and end."""
    at = start
    while at + 8 <= end:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        head = 8
        if size == 1:
            size = struct.unpack(">Q", data[at + 8:at + 16])[0]
            head = 16
        elif size == 0:
            size = end - at
        if size < head or at + size > end:
            break
        yield kind.decode("latin-1"), at, at + head, at + size
        at += size


def mp4_child(data, box, kind):
    for child in mp4_boxes(data, box[2], box[3]):
        if child[0] == kind:
            return child
    return None


def mp4_video_track(data):
    """The video trak's sample table: boxes by path, sample offsets, sizes and key flags."""
    top = list(mp4_boxes(data, 0, len(data)))
    moov = next(b for b in top if b[0] == "moov")
    for trak in mp4_boxes(data, moov[2], moov[3]):
        if trak[0] != "trak":
            continue
        mdia = mp4_child(data, trak, "mdia")
        hdlr = mp4_child(data, mdia, "hdlr")
        if data[hdlr[2] + 8:hdlr[2] + 12] != b"vide":
            continue
        minf = mp4_child(data, mdia, "minf")
        stbl = mp4_child(data, minf, "stbl")
        stsz = mp4_child(data, stbl, "stsz")
        stsc = mp4_child(data, stbl, "stsc")
        stco = mp4_child(data, stbl, "stco") or mp4_child(data, stbl, "co64")
        stss = mp4_child(data, stbl, "stss")
        fixed, count = struct.unpack(">II", data[stsz[2] + 4:stsz[2] + 12])
        sizes = [fixed] * count if fixed else list(struct.unpack(f">{count}I", data[stsz[2] + 12:stsz[2] + 12 + 4 * count]))
        chunks_n = struct.unpack(">I", data[stco[2] + 4:stco[2] + 8])[0]
        wide = stco[0] == "co64"
        chunk_offsets = list(struct.unpack(f">{chunks_n}{'Q' if wide else 'I'}",
                                           data[stco[2] + 8:stco[2] + 8 + (8 if wide else 4) * chunks_n]))
        runs_n = struct.unpack(">I", data[stsc[2] + 4:stsc[2] + 8])[0]
        runs = [struct.unpack(">III", data[stsc[2] + 8 + 12 * i:stsc[2] + 20 + 12 * i]) for i in range(runs_n)]
        offsets, descriptions = [], []
        sample = 0
        for r, (first, per_chunk, description) in enumerate(runs):
            last = runs[r + 1][0] - 1 if r + 1 < len(runs) else chunks_n
            for chunk in range(first, last + 1):
                at = chunk_offsets[chunk - 1]
                for _ in range(per_chunk):
                    if sample >= count:
                        break
                    offsets.append(at)
                    descriptions.append(description)
                    at += sizes[sample]
                    sample += 1
        if stss:
            n = struct.unpack(">I", data[stss[2] + 4:stss[2] + 8])[0]
            keys = {k - 1 for k in struct.unpack(f">{n}I", data[stss[2] + 8:stss[2] + 8 + 4 * n])}
        else:
            keys = set(range(count))
        path = {"moov": moov, "trak": trak, "mdia": mdia, "minf": minf, "stbl": stbl, "stsz": stsz, "stsc": stsc,
                "stco": stco}
        mdat_first = min((b[1] for b in top if b[0] == "mdat"), default=len(data))
        return {"path": path, "offsets": offsets, "sizes": sizes, "keys": keys, "descriptions": descriptions,
                "moov_first": moov[1] < mdat_first, "traks": sum(1 for b in mp4_boxes(data, moov[2], moov[3])
                                                                  if b[0] == "trak")}
    raise ValueError("no video track")


def mp4_samples(data):
    t = mp4_video_track(data)
    return [{"spans": [(o, s)] if s else [], "key": i in t["keys"]}
            for i, (o, s) in enumerate(zip(t["offsets"], t["sizes"]))]


def mp4_empty(data, index):
    """Sample `index` listed with size 0; the video track gets a chunk per sample (stsc, stco
    rewritten, every stsz entry written out) so that every other sample keeps its bytes."""
    t = mp4_video_track(data)
    if t["traks"] != 1 and t["moov_first"]:
        return None
    p = t["path"]
    sizes = list(t["sizes"])
    sizes[index] = 0
    n = len(sizes)
    new_stsz = struct.pack(">I4sIII", 20 + 4 * n, b"stsz", 0, 0, n) + struct.pack(f">{n}I", *sizes)
    runs = []
    for i, description in enumerate(t["descriptions"]):
        if not runs or runs[-1][2] != description:
            runs.append((i + 1, 1, description))
    new_stsc = struct.pack(">I4sII", 16 + 12 * len(runs), b"stsc", 0, len(runs)) + b"".join(
        struct.pack(">III", *r) for r in runs)
    growth = (len(new_stsz) - (p["stsz"][3] - p["stsz"][1])) + (len(new_stsc) - (p["stsc"][3] - p["stsc"][1]))
    offsets = list(t["offsets"])
    wide = p["stco"][0] == "co64" or max(offsets) + max(growth, 0) >= 1 << 32
    stco_len = 16 + (8 if wide else 4) * n
    growth += stco_len - (p["stco"][3] - p["stco"][1])
    if t["moov_first"]:
        offsets = [o + growth for o in offsets]
    new_stco = struct.pack(">I4sII", stco_len, b"co64" if wide else b"stco", 0, n) + struct.pack(
        f">{n}{'Q' if wide else 'I'}", *offsets)
    out = bytearray(data)
    for box, new in sorted(((p["stsz"], new_stsz), (p["stsc"], new_stsc), (p["stco"], new_stco)),
                           key=lambda e: -e[0][1]):
        out[box[1]:box[3]] = new
    for name in ("stbl", "minf", "mdia", "trak", "moov"):
        box = p[name]
        if box[2] - box[1] == 16:
            out[box[1] + 8:box[1] + 16] = struct.pack(">Q", struct.unpack(">Q", out[box[1] + 8:box[1] + 16])[0] + growth)
        else:
            out[box[1]:box[1] + 4] = struct.pack(">I", struct.unpack(">I", out[box[1]:box[1] + 4])[0] + growth)
    return out


# ---------------------------------------------------------------- Matroska

SEGMENT, CLUSTER, SIMPLE_BLOCK, BLOCK_GROUP, BLOCK, VOID = 0x18538067, 0x1F43B675, 0xA3, 0xA0, 0xA1, 0xEC
TRACKS, TRACK_ENTRY, TRACK_NUMBER, TRACK_TYPE = 0x1654AE6B, 0xAE, 0xD7, 0x83
SEEK_HEAD, SEEK, SEEK_POSITION = 0x114D9B74, 0x4DBB, 0x53AC
CUES, CUE_POINT, CUE_TRACK_POSITIONS, CUE_CLUSTER_POSITION, CUE_RELATIVE_POSITION = 0x1C53BB6B, 0xBB, 0xB7, 0xF1, 0xF0
CLUSTER_POSITION, PREV_SIZE, REFERENCE_BLOCK = 0xA7, 0xAB, 0xFB
MASTERS = {SEGMENT, CLUSTER, BLOCK_GROUP, TRACKS, TRACK_ENTRY, SEEK_HEAD, SEEK, CUES, CUE_POINT, CUE_TRACK_POSITIONS}
LEVEL1 = {CLUSTER, CUES, SEEK_HEAD, TRACKS, 0x1549A966, 0x1043A770, 0x1254C367, 0x1941A469}


def ebml_id(data, at):
    first = data[at]
    width = 1 if first & 0x80 else 2 if first & 0x40 else 3 if first & 0x20 else 4
    return int.from_bytes(data[at:at + width], "big"), width


def ebml_size(data, at):
    first = data[at]
    width = next(w for w in range(1, 9) if first & (0x80 >> (w - 1)))
    value = int.from_bytes(data[at:at + width], "big") & ((1 << (7 * width)) - 1)
    unknown = value == (1 << (7 * width)) - 1
    return (None if unknown else value), width


def ebml_vint(value, width):
    if value >= (1 << (7 * width)) - 1:
        raise OverflowError
    return ((1 << (7 * width)) | value).to_bytes(width, "big")


class Element:
    def __init__(self, eid, start, size_at, size_width, data_start, end, parent):
        self.id, self.start, self.size_at, self.size_width = eid, start, size_at, size_width
        self.data_start, self.end, self.parent, self.children = data_start, end, parent, []
        self.unknown = False


def mkv_parse(data):
    """Element tree of the masters that matter here, the leaves under them."""
    root = Element(None, 0, 0, 0, 0, len(data), None)

    def walk(parent, at, end):
        while at < end and at < len(data):
            try:
                eid, iw = ebml_id(data, at)
                size, sw = ebml_size(data, at + iw)
            except (StopIteration, IndexError):
                return at
            if parent.unknown and eid in LEVEL1 and parent.id != SEGMENT:
                return at
            data_start = at + iw + sw
            e = Element(eid, at, at + iw, sw, data_start, data_start + (size if size is not None else 0), parent)
            parent.children.append(e)
            if eid in MASTERS:
                if size is None:
                    e.unknown = True
                    e.end = walk(e, data_start, end)
                else:
                    walk(e, data_start, min(e.end, end))
            elif size is None:
                return len(data)
            at = e.end
        return at

    walk(root, 0, len(data))
    return root


def mkv_iter(e, *ids):
    for c in e.children:
        if c.id in ids:
            yield c


def mkv_video_blocks(data, root=None):
    """(element to drop or copy, Block or SimpleBlock, key) of the video track in file order."""
    root = root or mkv_parse(data)
    segment = next(mkv_iter(root, SEGMENT))
    number = None
    for tracks in mkv_iter(segment, TRACKS):
        for entry in mkv_iter(tracks, TRACK_ENTRY):
            fields = {c.id: int.from_bytes(data[c.data_start:c.end], "big") for c in entry.children
                      if c.id in (TRACK_NUMBER, TRACK_TYPE)}
            if fields.get(TRACK_TYPE) == 1 and number is None:
                number = fields.get(TRACK_NUMBER)
    blocks = []
    for cluster in mkv_iter(segment, CLUSTER):
        for e in cluster.children:
            block = e if e.id == SIMPLE_BLOCK else next(mkv_iter(e, BLOCK), None) if e.id == BLOCK_GROUP else None
            if block is None:
                continue
            track, tw = ebml_size(data, block.data_start)
            if track != number:
                continue
            flags = data[block.data_start + tw + 2]
            if block.id == SIMPLE_BLOCK:
                key = bool(flags & 0x80)
            else:
                key = not any(c.id == REFERENCE_BLOCK for c in e.children)
            blocks.append((e, block, key, block.data_start + tw + 3))  # the header's end
    return blocks


def mkv_samples(data):
    out = []
    for e, block, key, head_end in mkv_video_blocks(data):
        out.append({"spans": [(head_end, block.end - head_end)] if block.end > head_end else [], "key": key})
    return out


def ebml_void(length):
    if length < 2:
        raise ValueError("a Void needs two bytes")
    width = 8 if length >= 9 else 1
    return bytes([VOID]) + ebml_vint(length - 1 - width, width) + bytes(length - 1 - width)


def mkv_empty(data, index):
    e, block, key, head_end = mkv_video_blocks(data)[index]
    if data[head_end - 1] & 0x06:
        return None
    header = head_end - block.data_start
    freed = block.end - block.data_start - header
    if freed < 2:
        return None
    out = bytearray(data)
    out[block.size_at:block.data_start] = ebml_vint(header, block.size_width)
    out[block.data_start + header:block.end] = ebml_void(freed)
    return out


def mkv_drop(data, index):
    e = mkv_video_blocks(data)[index][0]
    out = bytearray(data)
    out[e.start:e.end] = ebml_void(e.end - e.start)
    return out


def mkv_dup(data, index):
    """The block stored again right after itself; sizes and positions after it follow."""
    root = mkv_parse(data)
    e = mkv_video_blocks(data, root)[index][0]
    copy = bytes(data[e.start:e.end])
    at, grow = e.end, len(copy)
    out = bytearray(data)
    segment = next(mkv_iter(root, SEGMENT))
    base = segment.data_start
    patches = []  # (position, width, new bytes), applied from the end

    def uint(el, shift_from, relative_to):
        value = int.from_bytes(data[el.data_start:el.end], "big")
        if relative_to + value >= shift_from:
            value += grow
            width = el.end - el.data_start
            if value >= 1 << (8 * width):
                raise OverflowError
            patches.append((el.data_start, width, value.to_bytes(width, "big")))

    try:
        parent = e.parent
        while parent is not None and parent.id is not None:
            if not parent.unknown:
                patches.append((parent.size_at, parent.size_width,
                                ebml_vint(parent.end - parent.data_start + grow, parent.size_width)))
            parent = parent.parent
        for head in mkv_iter(segment, SEEK_HEAD):
            for seek in mkv_iter(head, SEEK):
                for pos in mkv_iter(seek, SEEK_POSITION):
                    uint(pos, at, base)
        clusters = list(mkv_iter(segment, CLUSTER))
        for cues in mkv_iter(segment, CUES):
            for point in mkv_iter(cues, CUE_POINT):
                for tp in mkv_iter(point, CUE_TRACK_POSITIONS):
                    cpos = next(mkv_iter(tp, CUE_CLUSTER_POSITION), None)
                    if cpos is None:
                        continue
                    cluster_at = base + int.from_bytes(data[cpos.data_start:cpos.end], "big")
                    uint(cpos, at, base)
                    cluster = next((c for c in clusters if c.start == cluster_at), None)
                    for rel in mkv_iter(tp, CUE_RELATIVE_POSITION):
                        if cluster is not None and cluster.start < at:
                            uint(rel, at, cluster.data_start)
        for i, cluster in enumerate(clusters):
            if cluster.start > at:
                for pos in mkv_iter(cluster, CLUSTER_POSITION):
                    uint(pos, at, base)
                if i > 0 and clusters[i - 1] is e.parent:
                    for prev in mkv_iter(cluster, PREV_SIZE):
                        value = int.from_bytes(data[prev.data_start:prev.end], "big") + grow
                        width = prev.end - prev.data_start
                        if value >= 1 << (8 * width):
                            raise OverflowError
                        patches.append((prev.data_start, width, value.to_bytes(width, "big")))
    except OverflowError:
        return None
    for position, width, new in sorted(patches, key=lambda p: p[0]):
        assert position + width <= at or position >= at
    for position, width, new in sorted(patches, key=lambda p: -p[0]):
        out[position:position + width] = new
    out[at:at] = copy
    return out


# ---------------------------------------------------------------- MPEG-TS

NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * 184


def ts_packets(data):
    """(offset, pid, pusi, payload start) of every transport packet."""
    out = []
    for at in range(0, len(data) - 187, 188):
        if data[at] != 0x47:
            continue
        pid = ((data[at + 1] & 0x1F) << 8) | data[at + 2]
        afc = (data[at + 3] >> 4) & 3
        payload = at + 4 + (1 + data[at + 4] if afc & 2 else 0)
        if not afc & 1 or payload > at + 188:
            payload = at + 188
        out.append((at, pid, bool(data[at + 1] & 0x40), payload))
    return out


def ts_video_pid(data, packets):
    pmt = None
    for at, pid, pusi, payload in packets:
        if pid == 0 and pusi:
            p = payload + 1 + data[payload]
            length = ((data[p + 1] & 0x0F) << 8) | data[p + 2]
            for i in range(p + 8, p + 3 + length - 4, 4):
                if int.from_bytes(data[i:i + 2], "big"):
                    pmt = int.from_bytes(data[i + 2:i + 4], "big") & 0x1FFF
            break
    for at, pid, pusi, payload in packets:
        if pid == pmt and pusi:
            p = payload + 1 + data[payload]
            length = ((data[p + 1] & 0x0F) << 8) | data[p + 2]
            info = ((data[p + 10] & 0x0F) << 8) | data[p + 11]
            i = p + 12 + info
            while i < p + 3 + length - 4:
                kind, pid_, es_info = data[i], int.from_bytes(data[i + 1:i + 3], "big") & 0x1FFF, \
                    int.from_bytes(data[i + 3:i + 5], "big") & 0x0FFF
                if kind in (0x1B, 0x24, 0x02, 0x10):
                    return pid_
                i += 5 + es_info
    raise ValueError("no video stream")


def ts_pes(data):
    """The video PES packets: transport packet offsets, coded-data spans, PES header length."""
    packets = ts_packets(data)
    vpid = ts_video_pid(data, packets)
    pes = []
    for at, pid, pusi, payload in packets:
        if pid != vpid:
            continue
        if pusi:
            pes.append({"packets": [], "spans": [], "key": bool(data[at + 3] & 0x20 and data[at + 4]
                                                                 and data[at + 5] & 0x40)})
        if not pes:
            continue
        pes[-1]["packets"].append(at)
        if payload < at + 188:
            pes[-1]["spans"].append((payload, at + 188 - payload))
    for p in pes:
        first, length = p["spans"][0] if p["spans"] else (None, 0)
        header = 9 + data[first + 8] if length >= 9 else None
        p["header"] = header
        if header is None or header > length:
            p["header"], p["coded"] = None, []
            continue
        p["coded"] = [(first + header, length - header)] + p["spans"][1:]
        p["coded"] = [(o, n) for o, n in p["coded"] if n > 0]
    return vpid, pes


def ts_samples(data):
    return [{"spans": p["coded"], "key": p["key"]} for p in ts_pes(data)[1]]


def ts_renumber(out, vpid, after, removed):
    """Continuity counters of the video PID after `after` moved back by the packets removed."""
    for at in range(after, len(out) - 187, 188):
        if out[at] == 0x47 and ((out[at + 1] & 0x1F) << 8 | out[at + 2]) == vpid and out[at + 3] & 0x10:
            out[at + 3] = (out[at + 3] & 0xF0) | (((out[at + 3] & 0x0F) - removed) & 0x0F)


def ts_remove(data, index, keep_header):
    vpid, pes = ts_pes(data)
    p = pes[index]
    out = bytearray(data)
    gone = p["packets"][1:] if keep_header else p["packets"]
    if keep_header:
        at = p["packets"][0]
        header = p["header"]
        if header is None:
            return None
        payload = p["spans"][0][0]
        pes_header = bytes(data[payload:payload + header])
        afc = (data[at + 3] >> 4) & 3
        old_af = bytes(data[at + 5:at + 5 + data[at + 4]]) if afc & 2 else b""
        af_len = 188 - 4 - 1 - header
        af = (old_af if old_af else b"\x00") + b"\xff" * (af_len - max(len(old_af), 1))
        if len(af) != af_len:
            return None
        if int.from_bytes(pes_header[4:6], "big"):
            pes_header = pes_header[:4] + (header - 6).to_bytes(2, "big") + pes_header[6:]
        out[at:at + 188] = bytes(data[at:at + 3]) + bytes([(data[at + 3] & 0x0F) | 0x30, af_len]) + af + pes_header
    if not gone and not keep_header:
        return None
    for at in gone:
        out[at:at + 188] = NULL_PACKET
    removed = sum(1 for at in gone if data[at + 3] & 0x10)
    ts_renumber(out, vpid, p["packets"][-1] + 188, removed)
    return out


# ---------------------------------------------------------------- damage

def samples_of(data, container):
    return {"mp4": mp4_samples, "mkv": mkv_samples, "ts": ts_samples}[container](data)


def kinds_for(container):
    return {"mp4": ("flip", "bytes", "empty", "drop"), "mkv": KINDS,
            "ts": ("flip", "bytes", "empty", "drop")}[container] + STRUCTURE[container]


def kind_name(kind, container):
    return "zeroed" if kind == "drop" and container == "mp4" else kind


def coded_bytes(sample, skip):
    """Offsets of the sample's coded bytes past the first `skip` of them."""
    out = []
    for o, n in sample["spans"]:
        out.extend(range(o, o + n))
    return out[skip:]


def damage(data, container, codec, samples, index, kind, rng):
    """(damaged bytes, listed samples, where) or None where the damage can't be made there. Samples
    an edit list leaves out are not counted as listed."""
    hidden = sum(1 for s in samples if s.get("hidden"))
    n = len(samples) - hidden
    sample = samples[index]
    if sample.get("hidden") and kind in ("drop", "dup") and container != "mp4":
        n += -1 if kind == "dup" else 1
    if kind == "flip":
        places = coded_bytes(sample, 8 if codec in ("h264", "hevc") else 0)
        if not places:
            return None
        at, bit = rng.choice(places), rng.randrange(8)
        out = bytearray(data)
        out[at] ^= 1 << bit
        return out, n, f"bit {bit} at {at}"
    if kind == "bytes":
        places = coded_bytes(sample, 0)
        if len(places) < 24:
            return None
        middle = len(places) // 2 - 6
        out = bytearray(data)
        for i, b in enumerate(rng.randbytes(12)):
            out[places[middle + i]] = b
        return out, n, f"12 bytes at {places[middle]}"
    if kind == "empty":
        out = {"mp4": mp4_empty, "mkv": mkv_empty, "ts": lambda d, i: ts_remove(d, i, True)}[container](data, index)
        return (out, n, "emptied") if out is not None else None
    if kind == "drop":
        if container == "mp4":
            if not sample["spans"]:
                return None
            out = bytearray(data)
            o, size = sample["spans"][0]
            out[o:o + size] = bytes(size)
            return out, n, f"{size} bytes zeroed at {o}"
        out = mkv_drop(data, index) if container == "mkv" else ts_remove(data, index, False)
        return (out, n - 1, "removed") if out is not None else None
    if kind == "dup" and container == "mkv":
        out = mkv_dup(data, index)
        return (out, n + 1, "stored twice") if out is not None else None
    made = {"mkv": mkv_structure, "mp4": mp4_structure, "ts": ts_structure}[container](data, index, kind, rng)
    return (made[0], n, made[1]) if made is not None else None


def mkv_structure(data, index, kind, rng):
    """(damaged bytes, where) of the block's structure, or None."""
    e, block, key, head_end = mkv_video_blocks(data)[index]
    out = bytearray(data)
    if kind == "track":
        track, width = ebml_size(data, block.data_start)
        if width != 1:
            return None
        out[block.data_start] = 0x89
        return out, f"track {track} -> 9"
    if kind == "size":
        grow = rng.choice((1, 7))
        size, width = ebml_size(data, block.size_at)
        try:
            out[block.size_at:block.size_at + width] = ebml_vint(size + grow, width)
        except OverflowError:
            return None
        return out, f"block size +{grow}"
    if kind == "lacing":
        bits = rng.choice((0x02, 0x04, 0x06))
        out[head_end - 1] |= bits
        return out, f"lacing bits {bits:#x}"
    cluster = e.parent
    if cluster is None or cluster.id != CLUSTER:
        return None
    if kind == "cluster":
        size, width = ebml_size(data, cluster.size_at)
        if size is None or size < 100:
            return None
        out[cluster.size_at:cluster.size_at + width] = ebml_vint(size - 50, width)
        return out, "cluster size -50"
    if kind == "stamp":
        stamp = next((c for c in cluster.children if c.id == 0xE7), None)
        if stamp is None:
            return None
        width = stamp.end - stamp.data_start
        value = int.from_bytes(data[stamp.data_start:stamp.end], "big") + 1000
        if value >= 1 << (8 * width):
            return None
        out[stamp.data_start:stamp.end] = value.to_bytes(width, "big")
        return out, "cluster stamp +1000"
    return None


def mp4_structure(data, index, kind, rng):
    """(damaged bytes, where) of the video track's sample table, or None."""
    t = mp4_video_track(data)
    stbl = t["path"]["stbl"]
    out = bytearray(data)
    if kind == "stsz":
        stsz = t["path"]["stsz"]
        count = struct.unpack(">I", data[stsz[2] + 8:stsz[2] + 12])[0]
        out[stsz[2] + 8:stsz[2] + 12] = struct.pack(">I", count - 1)
        return out, "stsz count -1"
    box = mp4_child(data, stbl, kind)
    if box is None:
        return None
    entries = struct.unpack(">I", data[box[2] + 4:box[2] + 8])[0]
    width = 12 if kind == "stsc" else 8
    # the entry that covers the sample (stts, ctts), or the run of chunks it lies in (stsc)
    entry, first = 0, 0
    if kind != "stsc":
        for entry in range(entries):
            count = struct.unpack(">I", data[box[2] + 8 + width * entry:box[2] + 12 + width * entry])[0]
            if first + count > index:
                break
            first += count
    else:
        entry = rng.randrange(entries)
    at = box[2] + 8 + width * entry
    if kind == "stts":
        count = struct.unpack(">I", data[at:at + 4])[0]
        out[at:at + 4] = struct.pack(">I", count - 1)
        return out, f"stts entry {entry} count -1"
    if kind == "ctts":
        count = struct.unpack(">I", data[at:at + 4])[0]
        if count != 1:  # the sample's own offset: an entry of its own
            return None
        out[at + 4:at + 8] = struct.pack(">I", 0x7FFF0000)
        return out, f"ctts entry {entry} offset huge"
    per_chunk = struct.unpack(">I", data[at + 4:at + 8])[0]
    out[at + 4:at + 8] = struct.pack(">I", per_chunk + 1)
    return out, f"stsc entry {entry} samples per chunk +1"


def ts_to_204(data):
    return b"".join(data[at:at + 188] + bytes(16) for at in range(0, len(data) - 187, 188))


def ts_structure(data, index, kind, rng):
    """(damaged bytes, where) of the transport packets, or None."""
    if kind == "empty204":
        out = ts_remove(data, index, True)
        return (ts_to_204(out), "emptied, 204-byte packets") if out is not None else None
    vpid, pes = ts_pes(data)
    # not the file's last packet: the file without it is the file cut there, no damage
    packets = [at for at in pes[index]["packets"][1:] if at + 188 < len(data)]
    if not packets:
        return None
    at = rng.choice(packets)
    out = bytes(data[:at] + data[at + 188:])
    if kind == "packet204":
        return ts_to_204(out), f"packet at {at} dropped, 204-byte packets"
    return out, f"packet at {at} dropped"


# ---------------------------------------------------------------- reading

def ffprobe_count(path):
    try:
        out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                              "stream=nb_read_packets", "-of", "csv=p=0", path], capture_output=True, text=True,
                             timeout=TIMEOUT).stdout.strip()
        return int(out.split()[0].split(",")[0]) if out else None  # MPEG-TS: once more under its program
    except (subprocess.TimeoutExpired, ValueError):
        return None


def ffprobe_packets(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=pos,size,pts_time,flags", "-of", "json", path], capture_output=True, text=True,
                         check=True).stdout
    return json.loads(out).get("packets", [])


def read(bench, path, cpu):
    """One read: its outcome, exit status, picture count, own words (the count line or qm-bench's
    error) and how many lines the decoders logged beside them."""
    cmd = bench + [path]
    if cpu is not None:
        cmd = ["taskset", "-c", str(cpu)] + cmd
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, errors="replace", timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return {"outcome": "hang", "status": None, "count": None, "text": f"no end in {TIMEOUT} s", "log": 0}
    lines = (r.stdout + r.stderr).replace(path, "FILE").splitlines()
    own = [line for line in lines if line.startswith("qm-bench ") or re.match(r"\d+ frames of", line)]
    m = re.match(r"(\d+) frames of", r.stdout)
    count = int(m.group(1)) if m else None
    if r.returncode < 0 or (r.returncode != 0 and not any(line.startswith("qm-bench ") for line in own)):
        outcome = "crash"
        own = lines[-3:]  # what it said last
    elif r.returncode != 0:
        outcome = "refused"
    else:
        outcome = "read"
    return {"outcome": outcome, "status": r.returncode, "count": count, "text": " / ".join(own),
            "log": len(lines) - len(own)}


def error_names(text):
    """The frames an error names ("frame 37 can't be decoded: ..."), or its words where it names none."""
    return re.findall(r"\b(?:frames?|pictures?|samples?) \d+", text) or text


def verdict(result, listed):
    if result["outcome"] == "read":
        result["outcome"] = "whole" if result["count"] == listed else "WRONG"
    return result["outcome"]


# ---------------------------------------------------------------- plan and run

def plan(sources, variants):
    """Variant list, spread over the source kinds first, then their containers and damage kinds."""
    rows = []
    for label, stem, containers in ROWS:
        names = [f"{stem}.{c}" for c in containers if f"{stem}.{c}" in sources]
        if not names:
            continue
        combos = []
        turn = len(rows)  # each source kind begins its damage kinds at another container
        for r in range(len(names)):
            for k, kind in enumerate(ALL_KINDS):
                name = names[(k + r + turn) % len(names)]
                if kind in kinds_for(container_of(name)):
                    combos.append((name, kind))
        rows.append(combos)
    out = []
    uses = {}
    for i in range(variants):
        combos = rows[i % len(rows)]
        p = i // len(rows)
        combo = combos[p % len(combos)]
        uses[combo] = uses.get(combo, 0) + 1
        out.append((i, combo[0], combo[1], uses[combo] - 1))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--variants", type=int, default=1500)
    ap.add_argument("--jobs", type=int, default=max(1, (os.cpu_count() or 2) // 2))
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--keep")
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    bench = [os.path.join(args.build, "bench", "qm-bench"), "read-frames"]
    if not os.access(bench[0], os.X_OK):
        sys.exit(f"no {bench[0]}")
    stems = {stem for label, stem, containers in ROWS
             if any(args.only in f"{stem}.{c}" for c in containers)}
    if not stems:
        sys.exit(f"no source name holds {args.only!r}")
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    cpus = os.cpu_count() or 1
    with tempfile.TemporaryDirectory(prefix="damage_sweep.") as work:
        # a copy, so that a rebuild during the sweep neither breaks it nor changes the reader halfway
        shutil.copy2(bench[0], os.path.join(work, "qm-bench"))
        bench[0] = os.path.join(work, "qm-bench")
        made = make_sources(work, stems)
        sources = {}
        for name, (path, label, codec) in made.items():
            if args.only not in name:
                continue
            data = open(path, "rb").read()
            container = container_of(name)
            samples = samples_of(data, container)
            probed = ffprobe_packets(path)
            intact = ffprobe_count(path)
            if len(samples) != intact or len(probed) != intact:
                print(f"warning: {name} lists {len(samples)} samples, ffprobe counts {intact}", file=sys.stderr)
            if len(probed) == len(samples):
                for s, p in zip(samples, probed):
                    s["key"] = "K" in p.get("flags", "")
                    s["hidden"] = "D" in p.get("flags", "")  # before the edit list's start
            sources[name] = {"name": name, "path": path, "label": label, "codec": codec, "data": data,
                             "container": container, "samples": samples, "intact": intact}
        variants = plan(sources, args.variants)
        orders = {}

        def pick(name, kind, use):
            """The use-th sample of a source and damage kind: every fourth a key frame, the others
            the non-key samples in a shuffled order (both fixed by the seed)."""
            if (name, kind) not in orders:
                rng = random.Random(f"{args.seed}/{name}/{kind}")
                samples = sources[name]["samples"]
                keys = [i for i, s in enumerate(samples) if s["key"]]
                rest = [i for i, s in enumerate(samples) if not s["key"]]
                rng.shuffle(keys)
                rng.shuffle(rest)
                orders[(name, kind)] = (keys, rest)
            keys, rest = orders[(name, kind)]
            if keys and (use % 4 == 1 or not rest):
                return keys[(use // 4) % len(keys)], keys
            return rest[(use - (use + 2) // 4) % len(rest)], rest

        slots = list(range(args.jobs))
        slot_lock = threading.Lock()
        print_lock = threading.Lock()
        done = [0]

        def read_both(path, listed):
            """The reads on one processor (the job's own) and on all; whether their verdicts differ."""
            with slot_lock:
                slot = slots.pop()
            try:
                one_cpu = read(bench, path, slot % cpus)
                all_cpu = read(bench, path, None)
            finally:
                with slot_lock:
                    slots.append(slot)
            v1, va = verdict(one_cpu, listed), verdict(all_cpu, listed)
            dependent = (v1 != va or one_cpu["count"] != all_cpu["count"]
                         or (v1 == va == "refused" and error_names(one_cpu["text"]) != error_names(all_cpu["text"])))
            return one_cpu, all_cpu, dependent

        def read_intact(name):
            src = sources[name]
            src["listed"] = sum(1 for s in src["samples"] if not s.get("hidden"))
            src["reads"] = read_both(src["path"], src["listed"])

        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            list(pool.map(read_intact, sources))

        def one(variant):
            i, name, kind, use = variant
            src = sources[name]
            first, candidates = pick(name, kind, use)
            rng = random.Random(f"{args.seed}/{i}")
            start = candidates.index(first)
            made_ = None
            for step in range(len(candidates)):  # on to the next where it cannot be made
                index = candidates[(start + step) % len(candidates)]
                made_ = damage(src["data"], src["container"], src["codec"], src["samples"], index, kind, rng)
                if made_ is not None:
                    break
            if made_ is None:
                return None
            out, listed, where = made_
            ext = name.rsplit(".", 1)[1]
            path = os.path.join(work, f"v{i:04d}-{name.replace('.', '-')}-{kind_name(kind, src['container'])}"
                                      f"-s{index}.{ext}")
            with open(path, "wb") as f:
                f.write(out)
            own = len(samples_of(bytes(out), src["container"])) if kind in KINDS else None
            meant = len(src["samples"]) + {"drop": 0 if src["container"] == "mp4" else -1, "dup": 1}.get(kind, 0)
            if own is not None and own != meant:
                print(f"warning: {os.path.basename(path)} lists {own} samples, {meant} meant", file=sys.stderr)
            one_cpu, all_cpu, dependent = read_both(path, listed)
            v1, va = one_cpu["outcome"], all_cpu["outcome"]
            probe = ffprobe_count(path)
            record = {"i": i, "name": name, "label": src["label"], "kind": kind_name(kind, src["container"]),
                      "hidden": sum(1 for s in src["samples"] if s.get("hidden")), "samples": len(src["samples"]),
                      "intact_outcome": src["reads"][0]["outcome"],
                      "index": index, "key": src["samples"][index]["key"], "where": where, "listed": listed,
                      "ffprobe": probe, "reads": (one_cpu, all_cpu), "dependent": dependent,
                      "file": os.path.basename(path)}
            if args.keep and (dependent or {v1, va} & {"WRONG", "crash", "hang"}):
                shutil.copy(path, os.path.join(args.keep, record["file"]))
                with open(os.path.join(args.keep, record["file"] + ".txt"), "w") as f:
                    f.write(describe(record) + "\n")
            os.remove(path)
            with print_lock:
                done[0] += 1
                if done[0] % 50 == 0:
                    print(f"{done[0]}/{len(variants)} variants read", file=sys.stderr, flush=True)
            return record

        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            records = [r for r in pool.map(one, variants) if r is not None]
        for src in sources.values():
            del src["data"]
    return report(records, sources)


def describe(r):
    hidden = f" ({r['hidden']} more before the edit list's start)" if r.get("hidden") else ""
    lines = [f"{r['file']}: {r['kind']} of sample {r['index']}{' (key)' if r['key'] else ''} of {r['name']} "
             f"({r['where']}); lists {r['listed']} samples{hidden}, ffprobe counts {r['ffprobe']}"]
    if r["index"] in (0, r["samples"] - 1):
        lines[0] += f"; the file's {'first' if r['index'] == 0 else 'last'} sample"
    if r.get("intact_outcome") not in (None, "whole"):
        lines[0] += f"; the intact file reads {r['intact_outcome']}"
    for label, read_ in zip(("1 CPU", "all CPUs"), r["reads"]):
        log = f" (and {read_['log']} lines of decoder log)" if read_["log"] else ""
        lines.append(f"  {label}: {read_['outcome']}, exit {read_['status']}: {read_['text']}{log}")
    return "\n".join(lines)


def report(records, sources):
    columns = ("variants", "reads") + OUTCOMES + ("cpu-dependent",)

    def tally(rs):
        t = dict.fromkeys(columns, 0)
        for r in rs:
            t["variants"] += 1
            t["cpu-dependent"] += r["dependent"]
            for read_ in r["reads"]:
                t["reads"] += 1
                t[read_["outcome"]] += 1
        return t

    def table(title, groups):
        print(f"| {title} | " + " | ".join(columns) + " |")
        print("|---" * (len(columns) + 1) + "|")
        for label, rs in groups:
            t = tally(rs)
            print(f"| {label} | " + " | ".join(str(t[c]) for c in columns) + " |")
        t = tally(records)
        print("| **total** | " + " | ".join(f"**{t[c]}**" for c in columns) + " |")

    labels = [label for label, stem, containers in ROWS if any(r["label"] == label for r in records)]
    table("source", [(label, [r for r in records if r["label"] == label]) for label in labels])
    print()
    pairs = sorted({(container_of(r["name"]), r["kind"]) for r in records},
                   key=lambda p: (("mp4", "mkv", "ts").index(p[0]), (ALL_KINDS + ("zeroed",)).index(p[1])))
    table("container, damage", [(f"{c} {k}", [r for r in records if container_of(r["name"]) == c and r["kind"] == k])
                                for c, k in pairs])
    flagged = [r for r in records if r["dependent"] or any(x["outcome"] in ("WRONG", "crash", "hang")
                                                           for x in r["reads"])]
    print()
    unread = [src for src in sources.values() if src["reads"][2] or any(x["outcome"] != "whole"
                                                                          for x in src["reads"][:2])]
    for src in unread:
        print(f"Intact {src['name']} (lists {src['listed']} samples) does not read whole:")
        for label, read_ in zip(("1 CPU", "all CPUs"), src["reads"][:2]):
            log = f" (and {read_['log']} lines of decoder log)" if read_["log"] else ""
            print(f"    {label}: {read_['outcome']}, exit {read_['status']}: {read_['text']}{log}")
    if unread:
        print()
    if flagged:
        print("WRONG, crash, hang or cpu-dependent:\n")
        print("```")
        for r in flagged:
            print(describe(r))
        print("```")
    else:
        print("No read WRONG, crashed, hung or depended on the processors.")
    bad = any(x["outcome"] in ("WRONG", "crash", "hang") for r in records for x in r["reads"]) or any(
        x["outcome"] in ("WRONG", "crash", "hang") for src in sources.values() for x in src["reads"][:2])
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
