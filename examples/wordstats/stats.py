"""Counting words, in a worker thread per text."""

import threading
from collections import Counter


def words(text):
    for raw in text.split():
        word = raw.strip(".,;:!?\"'()").lower()
        if word:
            yield word


def longest(counter):
    if not counter:
        return None
    return max(counter, key=lambda w: (len(w), w))


def count_all(texts):
    totals = Counter()
    lock = threading.Lock()

    def work(text):
        counted = Counter(words(text))
        with lock:
            totals.update(counted)

    threads = [threading.Thread(target=work, args=(t,)) for t in texts]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return totals
