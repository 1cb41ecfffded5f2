#!/usr/bin/env python3
# Prints the upper-case table of packer/base/names.cpp: the one-to-one upper-case mappings of the Basic
# Multilingual Plane from Python's Unicode database, as runs {first, last, delta, step}.
import sys
import unicodedata

pairs = []
for unit in range(0x10000):
    if 0xD800 <= unit <= 0xDFFF:
        continue
    upper = chr(unit).upper()
    if len(upper) == 1 and ord(upper) != unit and ord(upper) < 0x10000:
        pairs.append((unit, ord(upper) - unit))

runs = []  # [first, last, delta, step]
for unit, delta in pairs:
    if runs:
        run = runs[-1]
        step = unit - run[1]
        if run[2] == delta and (run[0] == run[1] and step in (1, 2) or run[0] != run[1] and step == run[3]):
            run[1], run[3] = unit, step
            continue
    runs.append([unit, unit, delta, 1])

print(f"// Unicode {unicodedata.unidata_version}: {len(pairs)} code units in {len(runs)} runs.")
line = "   "
for first, last, delta, step in runs:
    item = f" {{0x{first:04X}, 0x{last:04X}, {delta}, {step}}},"
    if len(line) + len(item) > 110:
        print(line)
        line = "   "
    line += item
print(line)
