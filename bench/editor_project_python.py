#!/usr/bin/env python3
"""Times Python's json loading and writing (sorted keys, indent 2) the project file that
qm_bench_editor_model's BM_ProjectOpen leaves behind, for the ratio against our open and save.
Usage: editor_project_python.py [FILE] [RUNS]   (default /tmp/qm_bench_project.qmproj, 5 runs)"""
import json
import os
import sys
import time

path = sys.argv[1] if len(sys.argv) > 1 else "/tmp/qm_bench_project.qmproj"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
out = path + ".python"


def best(action):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times) * 1000


def load():
    with open(path, "rb") as f:
        return json.load(f)


data = load()


def save():
    with open(out, "w") as f:
        json.dump(data, f, sort_keys=True, indent=2)


print("file %s, %.1f MB" % (path, os.path.getsize(path) / 1e6))
print("python json load  %.1f ms (best of %d)" % (best(load), runs))
print("python json save  %.1f ms (best of %d)" % (best(save), runs))
os.remove(out)
