"""The backend's layers: every file of backend/scrivell belongs to one, and includes only files
of its own layer or of the layers below. A file this table does not place fails the test, so
that a new file is given its layer when it is added.

    layers_test.py BACKEND_DIR
"""
import os
import re
import sys

# Bottom to top; the same order as docs/design.md.
LAYERS = [
    ("base", {"errors", "Settings", "text", "say", "fail_points", "OrderedMap", "Column",
              "FailedRequests", "Counters", "Budget", "h5"}),
    ("files", {"Directory", "Compression", "compression_pool", "write", "requests", "names"}),
    ("storage", {"StreamingBlock", "master_file", "Journal", "records", "map_datasets",
                 "split_files"}),
    ("notifications", {"Outbox", "json", "notify"}),
    ("stream", {"SplitStream"}),
    ("file", {"OpenFile"}),
    ("backend", {"Scrivell", "table_rules", "restore", "settings"}),
]


def layer_of(stem):
    for number, (_, stems) in enumerate(LAYERS):
        if stem in stems:
            return number
    return None


def main(backend):
    failures = []
    for root, _, names in os.walk(backend):
        for name in sorted(names):
            if not name.endswith((".hpp", ".cpp")):
                continue
            path = os.path.join(root, name)
            own = layer_of(os.path.splitext(name)[0])
            if own is None:
                failures.append(f"{path}: in no layer; give it one in {__file__}")
                continue
            with open(path) as source:
                for number, line in enumerate(source, 1):
                    included = re.match(r'#include ["<](?:scrivell/)?([^">]+)[">]', line)
                    if not included:
                        continue
                    stem = os.path.splitext(os.path.basename(included.group(1)))[0]
                    layer = layer_of(stem)
                    if layer is not None and layer > own:
                        failures.append(f"{path}:{number}: the {LAYERS[own][0]} layer includes "
                                        f"{included.group(1)}, of the {LAYERS[layer][0]} layer "
                                        "above it")
    for failure in failures:
        print(failure)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
