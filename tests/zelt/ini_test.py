"""Every INI file of the corpus, read by the service's parser (through ini_dump) and by
Python's configparser as the Python client reads it: the same entries, or both refuse.

    ini_test.py PATH_TO_INI_DUMP CORPUS_DIR
"""
import configparser
import os
import subprocess
import sys


def python_reads(path):
    parser = configparser.ConfigParser(inline_comment_prefixes=("#", ";"), interpolation=None)
    try:
        with open(path, encoding="utf-8") as f:
            parser.read_file(f)
    except configparser.Error:
        return ["refused"]
    lines = []
    for section in parser.sections():
        if not parser._sections[section]:  # the dump lists sections with entries of their own
            continue
        for key, value in parser.items(section):
            shown = value.replace("\n", "\\n").replace("\t", "\\t")
            lines.append(f"{section}\t{key}\t{shown}")
    return sorted(lines)


def main():
    dump, corpus = sys.argv[1], sys.argv[2]
    failed = 0
    names = sorted(n for n in os.listdir(corpus) if n.endswith(".ini"))
    for name in names:
        path = os.path.join(corpus, name)
        ours = subprocess.run([dump, path], capture_output=True, text=True, timeout=30,
                              check=True).stdout.splitlines()
        theirs = python_reads(path)
        if sorted(ours) != theirs:
            failed += 1
            print(f"{name}: the service reads {sorted(ours)}, configparser {theirs}")
    print(f"{len(names) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
