# Reads a stream file with KLayout and writes it out again, for bench/run.sh:
#   klayout -b -r bench/klayout_rewrite.py -rd input=FILE -rd output=OUT
import pya

layout = pya.Layout()
layout.read(input)
layout.write(output)
