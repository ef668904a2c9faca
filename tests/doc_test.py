#!/usr/bin/python3
"""Runs the examples of the documentation and checks its links.

    doc_test.py --source DIR --build DIR [--somap PROGRAM] [--render PROGRAM]
                [--library LIBSOM] [DOC.md ...]

Without documents it checks README.md, data/README.md and docs/*.md of the
source tree. Every fenced block declares what it is in its info string
(docs/development.md has the convention):

  ```sh        shell commands, run by bash with -e and pipefail
  ```python    a program for the Python interpreter running this script
  ```c         a complete C program, compiled against the build's library
  ```c fragment  statements run inside main() with the sample colours'
               trained map in scope (see FRAGMENT_PROLOGUE)
  ```LANG norun  shown, never run (slow, network, root, ssh, install, a
               placeholder file name, or a language of its own: cmake norun)
  ```text      a picture, a transcript, a usage text: never run
  ```output    what the runnable block just before printed on standard
               output; a line "..." stands for any number of lines

The blocks of one document run in order in one scratch directory that looks
like a clone after a build: copies of data/, docs/ and examples/, `build`
pointing at the build tree, the build's somap and somap-render first on
PATH and its Python package on PYTHONPATH. Every relative link and image of
a document must name an existing file, and its #anchor a heading there.
Indented code blocks are refused: nobody could tell whether they should run.
"""

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

RUNNABLE = {"sh", "python", "c"}
NEVER_RUN = {"text", "output"}
BLOCK_TIMEOUT = 120

# What a ```c fragment block runs inside: the sample colours read as somap
# reads them (three numbers a line) and a 12 x 12 map trained on them as
# `somap -x 12 -y 12 -i 200 -s` trains it.
FRAGMENT_PROLOGUE = """\
#include <som/som.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    static double data[300][3];
    double *rows[300];
    size_t count = 0;
    FILE *colours = fopen("data/colours.tsv", "r");
    if (colours == NULL) return 1;
    while (count < 300 && fscanf(colours, "%lf %lf %lf", &data[count][0], &data[count][1], &data[count][2]) == 3)
        rows[count] = data[count], ++count;
    fclose(colours);
    som_network *map = som_network_new(3, 12, 12);
    if (map == NULL || som_init_weights(map, rows, count) != SOM_OK || som_train(map, rows, count, 200) != SOM_OK)
        return 1;
    {
"""
FRAGMENT_EPILOGUE = """
    }
    som_network_destroy(map);
    return 0;
}
"""


class Block:
    def __init__(self, path, line, info, text):
        self.path = path
        self.line = line
        words = info.split()
        self.language = words[0] if words else ""
        self.flags = set(words[1:])
        self.text = text
        self.output = None  # the ```output block that follows, if any

    @property
    def where(self):
        return f"{self.path}:{self.line}"

    @property
    def runs(self):
        return self.language in RUNNABLE and "norun" not in self.flags


FENCE = re.compile(r"^( *)(`{3,}|~{3,})(.*)$")
LIST_ITEM = re.compile(r"^ *([-*+]|\d+[.)]) ")


def parse(path, text):
    """The fenced blocks of a document, its prose lines (number, text) and
    the problems of its form."""
    blocks, prose, problems = [], [], []
    lines = text.split("\n")
    k = 0
    previous_blank, context_indented = True, False
    while k < len(lines):
        line = lines[k]
        fence = FENCE.match(line)
        if fence:
            indent, marker, info = len(fence.group(1)), fence.group(2), fence.group(3).strip()
            opened, body, k = k + 1, [], k + 1
            while k < len(lines):
                closing = FENCE.match(lines[k])
                if closing and closing.group(2)[0] == marker[0] and len(closing.group(2)) >= len(marker) \
                        and not closing.group(3).strip():
                    break
                body.append(lines[k][indent:] if lines[k][:indent].strip() == "" else lines[k])
                k += 1
            if k == len(lines):
                problems.append(f"{path}:{k}: a fenced block that never closes")
            block = Block(path, opened, info, "\n".join(body) + "\n")
            blocks.append(block)
            known = block.language in RUNNABLE | NEVER_RUN or (block.language and "norun" in block.flags)
            if not known:
                problems.append(f"{block.where}: fenced block without a known info string ({info!r}): "
                                f"use sh, python, c, text or output, with norun where it must not run")
            previous_blank, context_indented = False, False
            k += 1
            continue
        if line.strip() == "":
            previous_blank = True
        else:
            starts_code = previous_blank and line.startswith("    ") and not context_indented
            if starts_code:
                problems.append(f"{path}:{k + 1}: an indented code block: fence it with an info string")
            # Indented lines after a list item (or within one) continue it.
            context_indented = bool(LIST_ITEM.match(line)) or (line.startswith(" ") and context_indented)
            previous_blank = False
            prose.append((k + 1, line))
        k += 1
    # Each ```output belongs to the runnable block right before it.
    for before, block in zip(blocks, blocks[1:]):
        if block.language == "output":
            before.output = block
    for k, block in enumerate(blocks):
        if block.language == "output" and (k == 0 or blocks[k - 1].language not in RUNNABLE):
            problems.append(f"{block.where}: an output block that follows no runnable block")
    return blocks, prose, problems


def slug(heading):
    """The anchor GitHub gives a heading."""
    text = re.sub(r"`", "", heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(text):
    seen, result = {}, set()
    _, prose, _ = parse("", text)
    for _, line in prose:
        heading = re.match(r"^#{1,6} +(.*?) *#*$", line)
        if heading:
            base = slug(heading.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            result.add(base if count == 0 else f"{base}-{count}")
    return result


LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")


def check_links(path, prose):
    problems = []
    for number, line in prose:
        for target in LINK.findall(re.sub(r"`[^`]*`", "", line)):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue  # a URL, not a file of the tree
            file_part, _, anchor = target.partition("#")
            linked = (path.parent / file_part).resolve() if file_part else path.resolve()
            if not linked.exists():
                problems.append(f"{path}:{number}: link to {target}: no file {linked}")
                continue
            if anchor and linked.suffix == ".md" and anchor not in anchors(linked.read_text(encoding="utf-8")):
                problems.append(f"{path}:{number}: link to {target}: no heading #{anchor} in {linked.name}")
    return problems


class Runner:
    """Runs one document's blocks in a scratch directory set up as a clone."""

    def __init__(self, source, build, somap, render, library, scratch):
        self.source, self.build, self.library = source, build, library
        self.scratch = scratch
        for part in ("data", "docs", "examples"):
            if (source / part).is_dir():
                shutil.copytree(source / part, scratch / part)
        if build is not None:
            (scratch / "build").symlink_to(build)
        tools = scratch / ".bin"
        tools.mkdir()
        for name, program in (("somap", somap), ("somap-render", render)):
            if program is not None:
                (tools / name).symlink_to(program)
        self.env = dict(os.environ)
        self.env["PATH"] = f"{tools}{os.pathsep}{self.env.get('PATH', '')}"
        if build is not None:
            self.env["PYTHONPATH"] = str(build / "python")
        self.env["PYTHONDONTWRITEBYTECODE"] = "1"
        self.count = 0

    def run(self, block):
        self.count += 1
        name = self.scratch / f".block{self.count}"
        if block.language == "sh":
            command = ["bash", "-e", "-o", "pipefail", "-c", block.text]
        elif block.language == "python":
            name = name.with_suffix(".py")
            name.write_text(block.text, encoding="utf-8")
            command = [sys.executable, str(name)]
        else:
            source = name.with_suffix(".c")
            text = block.text
            if "fragment" in block.flags:
                text = FRAGMENT_PROLOGUE + text + FRAGMENT_EPILOGUE
            source.write_text(text, encoding="utf-8")
            compiler = os.environ.get("CC", "cc")
            compile_command = [compiler, "-std=c11", "-Wall", "-Wextra", "-Werror", f"-I{self.source}",
                               "-o", str(name), str(source)]
            compile_command += [str(self.library), "-lstdc++", "-lm", "-pthread"] if self.library else []
            built = subprocess.run(compile_command, cwd=self.scratch, capture_output=True, text=True)
            if built.returncode != 0:
                return f"{block.where}: the C block does not compile:\n{built.stderr}"
            command = [str(name)]
        try:
            done = subprocess.run(command, cwd=self.scratch, env=self.env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=BLOCK_TIMEOUT)
        except subprocess.TimeoutExpired:
            return f"{block.where}: still running after {BLOCK_TIMEOUT} s"
        if done.returncode != 0:
            return (f"{block.where}: {block.language} block ended with status {done.returncode}:\n"
                    f"{done.stdout}{done.stderr}")
        if block.output is not None and not matches(block.output.text, done.stdout):
            return (f"{block.where}: printed\n{done.stdout}which is not what {block.output.where} shows:\n"
                    f"{block.output.text}")
        return None


def matches(shown, printed):
    """Whether the printed text is the shown one, a shown line "..."
    standing for any run of lines."""
    want = shown.rstrip("\n").split("\n")
    got = printed.rstrip("\n").split("\n") if printed.strip("\n") else []

    def match(w, g):
        if w == len(want):
            return g == len(got)
        if want[w] == "...":
            return any(match(w + 1, h) for h in range(g, len(got) + 1))
        return g < len(got) and want[w] == got[g] and match(w + 1, g + 1)

    return match(0, 0)


def check_document(path, source, build=None, somap=None, render=None, library=None):
    """Every problem of one document: its form, its links, its examples."""
    text = path.read_text(encoding="utf-8")
    blocks, prose, problems = parse(path, text)
    problems += check_links(path, prose)
    runnable = [block for block in blocks if block.runs]
    if not runnable:
        return problems
    with tempfile.TemporaryDirectory(prefix="somap-doc-") as scratch:
        runner = Runner(source, build, somap, render, library, pathlib.Path(scratch))
        for block in runnable:
            problem = runner.run(block)
            if problem:
                problems.append(problem)
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", type=pathlib.Path, required=True)
    parser.add_argument("--build", type=pathlib.Path)
    parser.add_argument("--somap", type=pathlib.Path)
    parser.add_argument("--render", type=pathlib.Path)
    parser.add_argument("--library", type=pathlib.Path)
    parser.add_argument("documents", nargs="*", type=pathlib.Path)
    args = parser.parse_args(argv)
    source = args.source.resolve()
    documents = args.documents or [source / "README.md", source / "data" / "README.md",
                                   *sorted((source / "docs").glob("*.md"))]
    problems = []
    for document in documents:
        found = check_document(document, source, *(path and path.resolve() for path in (
            args.build, args.somap, args.render, args.library)))
        print(f"{document}: {'ok' if not found else f'{len(found)} problem(s)'}", file=sys.stderr)
        problems += found
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
