#!/usr/bin/env python3
"""Makes the private dependencies of pkg-config files public.

Every library in the Windows prefix is static, so whoever links one needs its
private libraries too; with them in Libs and Requires, a plain
`pkg-config --libs` (meson's default, CMake's X_LIBRARIES) links completely.
Running it again on a file changes nothing.
"""
import re
import sys


def publish(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    private = {}
    out = []
    for line in lines:
        m = re.match(r"^(Libs|Requires)\.private:\s*(.*)$", line)
        if m:
            private[m.group(1)] = m.group(2).strip()
        else:
            out.append(line)
    for key, value in private.items():
        if not value:
            continue
        for i, line in enumerate(out):
            if line.startswith(key + ":"):
                current = line.split(":", 1)[1].strip()
                if not current:
                    out[i] = f"{key}: {value}"
                else:
                    sep = ", " if key == "Requires" else " "
                    out[i] = f"{key}: {current}{sep}{value}"
                break
        else:
            out.append(f"{key}: {value}")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


for p in sys.argv[1:]:
    publish(p)
