#!/usr/bin/env python3
"""Picks a handful of seed inputs for a fuzz target out of a large corpus.

    pick_seeds.py TARGET CORPUS OUT [COUNT]

TARGET is a built fuzz target, CORPUS a directory of inputs (typically what a run of
several minutes left behind), OUT the seed directory (tests/fuzz/corpus/<Target>), which
is emptied first. The target reports, through a libFuzzer set-cover merge, the features
each input reaches; the inputs are then taken greedily, each time the one that adds the
most features not yet reached, until COUNT (default 12) are chosen. A run that starts from
them starts with most of what the large corpus reached.

The seeds depend on how the target reads its input: regenerate them after changing that.
"""
import os
import shutil
import subprocess
import sys
import tempfile


def features_per_input(target, corpus):
    with tempfile.TemporaryDirectory() as work:
        control = os.path.join(work, "control")
        merged = os.path.join(work, "merged")
        os.mkdir(merged)
        subprocess.run([target, "-set_cover_merge=1", "-merge_control_file=" + control, merged, corpus],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        with open(control) as f:
            lines = f.read().splitlines()
    total = int(lines[0])
    files = lines[2:2 + total]
    features = {}
    for line in lines[2 + total:]:
        parts = line.split()
        if parts and parts[0] == "FT":
            features[files[int(parts[1])]] = set(int(x) for x in parts[2:])
    return features


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    target, corpus, out = sys.argv[1:4]
    count = int(sys.argv[4]) if len(sys.argv) == 5 else 12
    features = features_per_input(target, corpus)
    reached = set()
    chosen = []
    while len(chosen) < count:
        best = max(features, key=lambda f: (len(features[f] - reached), -os.path.getsize(f)), default=None)
        if best is None or not features[best] - reached:
            break
        chosen.append(best)
        reached |= features.pop(best)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for i, path in enumerate(chosen, 1):
        shutil.copy(path, os.path.join(out, "seed-%02d" % i))
    everything = set().union(reached, *features.values())
    print("%d seeds reach %d of the corpus's %d features" % (len(chosen), len(reached), len(everything)))


if __name__ == "__main__":
    main()
