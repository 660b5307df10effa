"""Formatting that the benchmark scripts share."""


def fmt_time(s):
    if s is None:
        return "-"
    if s < 1e-3:
        return f"{s * 1e6:.1f} us"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def print_table(head, rows, right):
    """rows under head in aligned columns, those whose index is in `right` aligned right; a row
    that is None prints as a blank line."""
    real = [r for r in rows if r is not None] + [head]
    widths = [max(len(str(r[i])) for r in real) for i in range(len(head))]

    def line(r):
        return "  ".join(str(c).rjust(w) if i in right else str(c).ljust(w)
                         for i, (c, w) in enumerate(zip(r, widths))).rstrip()

    print(line(head))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r) if r is not None else "")
