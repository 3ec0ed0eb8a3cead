#!/usr/bin/env python3
"""The same statistics as a data scientist would write them with numpy: a
vectorised baseline for the benchmark, not part of the product. It holds the
rows x rows similarity matrix in memory and does not keep the exact order of
operations, so its last digits differ.

    numpy_baseline.py INPUT OUT_DIR
"""
import itertools
import os
import sys

import numpy as np


def entropy(cells, total):
    p = cells / total
    p = p[p > 0]
    return float(-(p * np.log(p)).sum() / np.log(2))


def main():
    data = np.loadtxt(sys.argv[1], delimiter=",", ndmin=2)  # rows x columns
    out = sys.argv[2]
    rows, columns = data.shape
    totals = data.sum(axis=0)
    single = [entropy(data[:, c], totals[c]) for c in range(columns)]
    pair = {}
    for i, j in itertools.combinations(range(columns), 2):
        pair[i, j] = entropy(data[:, [i, j]].ravel(), totals[i] + totals[j])
    with open(os.path.join(out, "results.txt"), "w", newline="") as f:
        for i, j, k in itertools.combinations(range(columns), 3):
            h = entropy(data[:, [i, j, k]].ravel(), totals[i] + totals[j] + totals[k])
            e = [single[i], single[j], single[k], pair[i, j], pair[i, k], pair[j, k], h]
            ii = e[0] + e[1] + e[2] - e[3] - e[4] - e[5] + e[6]
            f.write(",".join([str(i), str(j), str(k), repr(ii)] + [repr(x) for x in e]) + "\r\n")

    gram = data @ data.T
    diag = np.diag(gram)
    norms = np.sqrt(np.outer(diag, diag))
    with np.errstate(divide="ignore", invalid="ignore"):
        sim = np.where(norms > 0, gram / norms, 0.0)
    upper = np.triu(np.ones((rows, rows), dtype=bool), 1)
    disparity = np.where(upper, 1 - sim, 0.0)
    with open(os.path.join(out, "results2.txt"), "w", newline="") as f:
        for c in range(columns):
            x = data[:, c]
            total = x.sum()
            positive = int((x > 0).sum())
            share = positive / rows
            p = np.where(x / total > 0, x / total, 0.0)
            h = entropy(x, total)
            s = np.sort(x)
            m = np.arange(1, rows + 1)
            gini = float((s * (2 * m - rows - 1)).sum() / (rows * s.sum()))
            corrected = rows * gini / (rows - 1)
            pp = np.outer(p, p)
            qualifying = (pp > 0) & upper
            count = int(qualifying.sum())
            simpson = 2 * float(pp[upper].sum())
            quadratic = 2 * float((pp * disparity)[qualifying].sum())
            mean_disparity = float(disparity[qualifying].sum()) / count
            combined = (1 - gini) * mean_disparity * share
            equivalent = 1 / (1 - quadratic)
            fields = [combined * rows, combined, equivalent, quadratic, simpson, h, share, mean_disparity,
                      gini, corrected, float(total), positive, count, mean_disparity]
            f.write(",".join(repr(v) if isinstance(v, float) else str(v) for v in fields) + "\r\n")


if __name__ == "__main__":
    main()
