# Reads a stream file with KLayout and lists its top cells, for bench/run.sh:
#   klayout -b -r bench/klayout_read.py -rd input=FILE
import pya

layout = pya.Layout()
layout.read(input)
for cell in layout.top_cells():
    print(cell.name)
