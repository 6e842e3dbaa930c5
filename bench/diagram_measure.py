#!/usr/bin/env python3
"""Measures diagrams for bench/diagram.sh.

  diagram_measure.py picture FILE.dot FILE.jpg
      prints "WIDTH HEIGHT SMALLEST": the JPEG's sides in pixels, read from its frame header, and
      the height in pixels of the smallest text drawn (its font size in points, from the layout
      `dot -Tjson` gives, times the pixels per point of the image).
  diagram_measure.py hierarchy HEAD.dot BOXES ARROWS LEVELS SEED > OUT.dot
      writes a random hierarchy of BOXES boxes in LEVELS levels and ARROWS arrows between
      neighbouring levels, a third of them labelled with a count, with the layout lines of
      HEAD.dot (a DOT text Tessel wrote), for timing `dot` on pictures of a given size.
"""
import json
import random
import struct
import subprocess
import sys


def jpeg_sides(path):
    data = open(path, 'rb').read()
    at = 2
    while at + 9 < len(data) and data[at] == 0xFF:
        marker = data[at + 1]
        if 0xC0 <= marker <= 0xC2:
            height, width = struct.unpack('>HH', data[at + 5:at + 9])
            return width, height
        at += 2 + struct.unpack('>H', data[at + 2:at + 4])[0]
    raise SystemExit(f'{path}: no JPEG frame header')


def picture(dot_file, jpeg_file):
    width, height = jpeg_sides(jpeg_file)
    layout = json.loads(subprocess.run(['dot', '-Tjson', dot_file], check=True,
                                       capture_output=True, text=True).stdout)
    left, bottom, right, top = (float(v) for v in layout['bb'].split(','))
    pad = 8  # graphviz adds 4 points on every side
    pixels_per_point = min(width / (right - left + pad), height / (top - bottom + pad))
    sizes = [op['size'] for item in layout.get('objects', []) + layout.get('edges', [])
             for key in ('_ldraw_', '_hldraw_', '_tldraw_') for op in item.get(key, [])
             if op['op'] == 'F']
    smallest = min(sizes) * pixels_per_point if sizes else 0
    print(width, height, f'{smallest:.1f}')


def hierarchy(head_file, boxes, arrows, levels, seed):
    head = [line for line in open(head_file).read().split('\n')[:4]]
    rng = random.Random(seed)
    per = boxes // levels
    print('\n'.join(head))
    pairs = set()
    while len(pairs) < arrows:
        level = rng.randrange(levels - 1)
        pairs.add((level, rng.randrange(per), rng.randrange(per)))
    for level, parent, child in sorted(pairs):
        label = f' [label="\u00d7{rng.randrange(2, 999)}"]' if rng.random() < 1 / 3 else ''
        print(f'\t"cell_{level}_{parent:04d}" -> "cell_{level + 1}_{child:04d}"{label};')
    print('}')


if __name__ == '__main__':
    if len(sys.argv) == 4 and sys.argv[1] == 'picture':
        picture(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 7 and sys.argv[1] == 'hierarchy':
        hierarchy(sys.argv[2], *(int(v) for v in sys.argv[3:]))
    else:
        raise SystemExit(__doc__)
