#!/usr/bin/env python3
"""Times credits exports against ffmpeg scrolling the same strip with the same encoder.
Usage: credits_export.py QM_BENCH WORKDIR [SECONDS] [--memory]
For 1080p and 4K rolls of SECONDS (default 20): qm-bench credits-export in H.264 and Hap Q beside
ffmpeg's premultiply,pad,loop,crop graph encoding with libx264 (same preset, profile, bit rate and
key-frame interval) and hap_q; prints frames per second and the ratios, and with --memory the peak
memory of a 4K ProRes 4444 export."""
import json
import os
import re
import subprocess
import sys
import time

FONT = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf'


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw)


def strip(work, width, rows, size):
    lines = os.path.join(work, 'lines.txt')
    with open(lines, 'w') as f:
        for i in range(rows):
            f.write(f'Role {i:03d}        First Lastname {i * 7 % 100:02d}\n')
    out = os.path.join(work, f'strip_{width}.png')
    height = rows * size * 2 + 200
    run(['ffmpeg', '-y', '-v', 'error', '-f', 'lavfi', '-i', f'color=c=black@0.0:s={width}x{height},format=rgba',
         '-vf', f'drawtext=fontfile={FONT}:textfile={lines}:fontsize={size}:line_spacing={size}:'
                f'x=(w-tw)/2:y=100:fontcolor=white', '-frames:v', '1', out])
    return out, height


def ours(bench, settings, strip_png, fmt, out, measure_memory=False):
    cmd = [bench, 'credits-export', '--settings', settings, '--strip', strip_png, '--format', fmt, '--out', out]
    if measure_memory:
        cmd = ['/usr/bin/time', '-f', 'maxrss %M'] + cmd
    result = run(cmd)
    fps = float(re.search(r'^fps (\S+) \((\S+) s\)', result.stdout, re.M).group(1))
    frames = int(re.search(r'^frames (\d+)', result.stdout, re.M).group(1))
    rss = re.search(r'maxrss (\d+)', result.stderr)
    return fps, frames, int(rss.group(1)) // 1024 if rss else None


def reference(strip_png, w, h, sw, sh, step, frames, codec_args, out):
    graph = (f'premultiply=inplace=1,pad={w}:{sh + 2 * h}:{(w - sw) // 2}:{h}:color=black@0,loop=-1:1,'
             f"crop={w}:{h}:0:'min(n*{step},{sh + h})'")
    started = time.monotonic()
    run(['ffmpeg', '-y', '-v', 'error', '-i', strip_png, '-vf', graph, '-frames:v', str(frames), '-r', '25']
        + codec_args + [out])
    return frames / (time.monotonic() - started)


def main():
    bench, work = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 20
    memory = '--memory' in sys.argv[4:]
    os.makedirs(work, exist_ok=True)
    for w, h, size in ((1920, 1080, 40), (3840, 2160, 80)):
        sw = w * 60 // 100
        strip_png, sh = strip(work, sw, 60, size)
        settings = os.path.join(work, f'settings_{h}.json')
        with open(settings, 'w') as f:
            json.dump({'width': w, 'height': h, 'rollSeconds': seconds, 'fadeIn': 0, 'fadeOut': 0}, f)
        timing = run([bench, 'credits-frame', '--settings', settings, '--strip', strip_png, '--time', '0', '--out',
                      os.path.join(work, 'frame.png')]).stdout
        step = int(float(re.search(r'step=(\S+)', timing).group(1)))
        formats = [('h264', 'mp4'), ('hapQ', 'mov')] if h == 1080 else [('hapQ', 'mov')]
        for fmt, ext in formats:
            fps, frames, _ = ours(bench, settings, strip_png, fmt, os.path.join(work, f'ours_{h}_{fmt}.{ext}'))
            if fmt == 'h264':
                rate = int(w * h * 25 * 0.2)
                codec = ['-c:v', 'libx264', '-preset', 'medium', '-profile:v', 'high', '-pix_fmt', 'yuv420p',
                         '-b:v', str(rate), '-g', '50']
            else:
                codec = ['-c:v', 'hap', '-format', 'hap_q']
            ref = reference(strip_png, w, h, sw, sh, step, frames, codec, os.path.join(work, f'ref_{h}_{fmt}.{ext}'))
            print(f'{w}x{h} {fmt}: ours {fps:.1f} fps, ffmpeg {ref:.1f} fps, time ratio ours/ffmpeg {ref / fps:.2f}, '
                  f'real time x{fps / 25:.2f} ({frames} frames)')
        if h == 2160 and memory:
            fps, frames, rss = ours(bench, settings, strip_png, 'proRes4444', os.path.join(work, 'ours_2160_4444.mov'), True)
            print(f'{w}x{h} proRes4444: ours {fps:.1f} fps, peak memory {rss} MiB ({frames} frames)')


if __name__ == '__main__':
    main()
