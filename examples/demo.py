"""A first look at the tracer: record the lines one small function runs."""

from kestrow.tracer import CFileDisposition, CTracer

data: dict[str, set[int]] = {}
cache: dict = {}


def should_trace(filename, frame):
    d = CFileDisposition()
    d.trace = filename == __file__
    d.source_filename = filename
    d.file_tracer = None
    d.has_dynamic_filename = False
    return d


def classify(n):
    if n % 15 == 0:
        return "fizzbuzz"
    if n % 3 == 0:
        return "fizz"
    if n % 5 == 0:
        return "buzz"
    return str(n)


tracer = CTracer()
tracer.should_trace = should_trace
tracer.check_include = tracer.warn = tracer.switch_context = tracer.disable_plugin = None
tracer.concur_id_func = tracer.should_start_context = None
tracer.data, tracer.file_tracers, tracer.should_trace_cache = data, {}, cache
tracer.trace_arcs = False
tracer.lock_data = tracer.unlock_data = lambda: None

tracer.start()
words = [classify(n) for n in range(1, 11)]
tracer.stop()
print(" ".join(words))
print("lines run in classify():", sorted(data[__file__]))
