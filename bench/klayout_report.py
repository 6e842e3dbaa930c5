# Run by bench/check_report.sh: klayout -b -r bench/klayout_report.py -rd input=F -rd report=R
# Compares the JSON report of `tessel -rt F -o R` with what KLayout reads of F: for each cell its
# shape and instance counts, its placements (direct and through the hierarchy) and its box, and
# for each layer and datatype its shape count and box. KLayout's boxes are built here by the
# report's rules (a path's box is that of its centre line widened by half its width; texts count
# in the layer boxes only), from the shapes KLayout places. Prints one line per difference, then
# "agree" or "differ"; "unreadable" when KLayout cannot read F.
import json

import pya

try:
    layout = pya.Layout()
    layout.read(input)
except Exception:
    print("unreadable")
    raise SystemExit(0)

with open(report) as f:
    tessel = json.load(f)

differences = []


def differ(what):
    if len(differences) < 20:
        print(what)
    differences.append(what)


def widened(box, half):
    return pya.Box(box.left - half, box.bottom - half, box.right + half, box.top + half)


def shape_box(shape, trans):
    """The box of a shape by the report's rules, placed by `trans`, or None."""
    if shape.is_path():
        path = shape.path.transformed(trans) if trans else shape.path
        spine = pya.Box()
        for point in path.each_point():
            spine += pya.Box(point, point)
        return widened(spine, round(path.width / 2))
    if shape.is_polygon() or shape.is_box() or shape.is_simple_polygon():
        return shape.bbox().transformed(trans) if trans else shape.bbox()
    return None


def as_list(box):
    return [box.left, box.bottom, box.right, box.top] if not box.empty() else None


cells = {cell.name: cell for cell in layout.each_cell()}
reported = {s["name"]: s for s in tessel["structures"]}
# KLayout keeps its own meta data in a cell it hides when reading; Tessel shows it as the
# structure it is. Its placements are taken off, and the placements in all are not compared.
CONTEXT = "$$$CONTEXT_INFO$$$"
context = reported.pop(CONTEXT, None)
if context is not None:
    for child in context["children"]:
        if child["name"] in reported:
            reported[child["name"]]["placed"] -= child["placed"]
if set(cells) != set(reported):
    differ("cells: only KLayout %s, only Tessel %s"
           % (sorted(set(cells) - set(reported))[:5], sorted(set(reported) - set(cells))[:5]))

# Placements, direct and through the hierarchy from the top cells.
placed = {name: 0 for name in cells}
for cell in layout.each_cell():
    for inst in cell.each_inst():
        placed[inst.cell.name] += inst.size()
instances = {name: 0 for name in cells}
for top in layout.top_cells():
    instances[top.name] = 1
for index in layout.each_cell_top_down():
    cell = layout.cell(index)
    for inst in cell.each_inst():
        instances[inst.cell.name] += instances[cell.name] * inst.size()

layers = {}
for cell in layout.each_cell():
    s = reported.get(cell.name)
    if s is None:
        continue
    polygons = paths = texts = 0
    for li in layout.layer_indexes():
        info = layout.get_info(li)
        for shape in cell.shapes(li).each():
            box = shape_box(shape, None)
            if shape.is_text():
                texts += 1
                box = pya.Box(shape.text.trans.disp.x, shape.text.trans.disp.y,
                              shape.text.trans.disp.x, shape.text.trans.disp.y)
            elif shape.is_path():
                paths += 1
            else:
                polygons += 1
            entry = layers.setdefault((info.layer, info.datatype), [0, pya.Box()])
            entry[0] += 1
            if box is not None:
                entry[1] += box
    if polygons != s["boundaries"] + s["boxes"]:
        differ("%s: %d polygons and boxes, Tessel %d boundaries and %d boxes"
               % (cell.name, polygons, s["boundaries"], s["boxes"]))
    if paths != s["paths"]:
        differ("%s: %d paths, Tessel %d" % (cell.name, paths, s["paths"]))
    if texts != s["texts"]:
        differ("%s: %d texts, Tessel %d" % (cell.name, texts, s["texts"]))
    references = sum(1 for _ in cell.each_inst())
    if references != s["srefs"] + s["arefs"]:
        differ("%s: %d instances, Tessel %d SREFs and %d AREFs"
               % (cell.name, references, s["srefs"], s["arefs"]))
    if placed[cell.name] != s["placed"]:
        differ("%s: placed %d times, Tessel %d" % (cell.name, placed[cell.name], s["placed"]))
    if context is None and instances[cell.name] != s["instances"]:
        differ("%s: %d instances in all, Tessel %d"
               % (cell.name, instances[cell.name], s["instances"]))
    box = pya.Box()
    for li in layout.layer_indexes():
        shapes = pya.RecursiveShapeIterator(layout, cell, li)
        while not shapes.at_end():
            placed_box = shape_box(shapes.shape(), shapes.trans())
            if placed_box is not None:
                box += placed_box
            shapes.next()
    if as_list(box) is not None and as_list(box) != s["box"]:
        differ("%s: box %s, Tessel %s" % (cell.name, as_list(box), s["box"]))

reported_layers = {(l["layer"], l["type"]): l for l in tessel["layers"]}
for key, (count, box) in sorted(layers.items()):
    l = reported_layers.get(key)
    if l is None:
        differ("layer %d/%d: %d shapes, not in Tessel's report" % (key[0], key[1], count))
        continue
    if l["elements"] != count:
        differ("layer %d/%d: %d shapes, Tessel %d" % (key[0], key[1], count, l["elements"]))
    if as_list(box) is not None and as_list(box) != l["box"]:
        differ("layer %d/%d: box %s, Tessel %s" % (key[0], key[1], as_list(box), l["box"]))

print("agree" if not differences else "differ")
