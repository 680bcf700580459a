#!/usr/bin/env python3
"""Frames per second of qm-bench credits-frame --repeat for every text effect at 1080p and 4K.
Usage: credits_frame.py QM_BENCH WORKDIR [RUNS] [--preview]
The strip is the same lines of text as credits_export.py's (60 lines, 40 or 80 pixels high, 60 %
of the width); effect size 8, no fades. Each configuration runs RUNS times (default 5); prints
every run and the median beside the goal where there is one (1080p glow 250 fps: ten times real
time at 25 fps; 4K glow 50 fps: twice)."""
import json
import os
import re
import statistics
import subprocess
import sys

from credits_export import run, strip

GOALS = {(1080, 'glow'): 250, (2160, 'glow'): 50}


def main():
    bench, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 and not sys.argv[3].startswith('--') else 5
    preview = ['--preview'] if '--preview' in sys.argv[3:] else []
    os.makedirs(work, exist_ok=True)
    for w, h, size in ((1920, 1080, 40), (3840, 2160, 80)):
        strip_png, _ = strip(work, w * 60 // 100, 60, size)
        for effect in ('none', 'glow', 'shadow', 'outline'):
            settings = os.path.join(work, f'settings_{h}_{effect}.json')
            with open(settings, 'w') as f:
                json.dump({'width': w, 'height': h, 'rollSeconds': 20, 'fadeIn': 0, 'fadeOut': 0, 'effect': effect,
                           'effectSize': 8}, f)
            fps = []
            for _ in range(runs):
                out = run([bench, 'credits-frame', '--settings', settings, '--strip', strip_png, '--time', '5',
                           '--repeat', '200', '--out', os.path.join(work, 'frame.png')] + preview).stdout
                fps.append(float(re.search(r'^render (\S+) fps', out, re.M).group(1)))
            median = statistics.median(fps)
            goal = GOALS.get((h, effect)) if not preview else None
            versus = f', goal {goal}: ratio {median / goal:.2f}' if goal else ''
            print(f'{w}x{h} {effect}{" preview" if preview else ""}: {" ".join(f"{x:.1f}" for x in fps)} fps, '
                  f'median {median:.1f}{versus}')


if __name__ == '__main__':
    main()
