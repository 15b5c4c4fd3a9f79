"""Word statistics for a few lines of text: run it with `kestrow run examples/wordstats_demo.py`."""

import sys

from wordstats.stats import count_all, longest

TEXTS = [
    "The quick brown fox jumps over the lazy dog.",
    "A lazy afternoon; the dog sleeps, the fox does not.",
]


def main(argv):
    totals = count_all(TEXTS)
    top = ", ".join(f"{w} ({n})" for w, n in totals.most_common(3))
    print(f"{sum(totals.values())} words, {len(totals)} distinct; most common: {top}")
    print(f"longest word: {longest(totals)}")
    if "--empty" in argv:
        print(f"longest of nothing: {longest({})}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
