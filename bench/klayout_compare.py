# Run by bench/check_rewrites.sh: klayout -b -r bench/klayout_compare.py -rd left=A -rd right=B
# Prints "same" when KLayout finds the two files hold the same layout (cells, shapes, instances,
# properties and text details all compared: no flag of LayoutDiff leaves out properties, text
# size, font, presentation or orientation), "different" otherwise, and "unreadable" when KLayout
# cannot read the original itself.
import pya

a = pya.Layout()
try:
    a.read(left)
except Exception:
    print("unreadable")
else:
    b = pya.Layout()
    b.read(right)
    print("same" if pya.LayoutDiff().compare(a, b, pya.LayoutDiff.Verbose) else "different")
