"""The commit the traced program runs at, recorded in every trace's metadata.

`COMMIT_SHA` is the hex id of the commit checked out in the git work tree
that holds the working directory, or None outside a work tree (or when the
repository cannot be read). It is read once, at import, straight from the
repository files: tracing must not start a `git` subprocess inside the
program being traced.
"""

from __future__ import annotations

import os
import re

_SHA = re.compile(r"[0-9a-f]{40}([0-9a-f]{24})?")


def _git_dir(start: str) -> str | None:
    path = os.path.abspath(start)
    while True:
        candidate = os.path.join(path, ".git")
        if os.path.isdir(candidate):
            return candidate
        if os.path.isfile(candidate):
            # A linked work tree or submodule: ".git" names the real directory.
            with open(candidate, encoding="utf-8") as f:
                line = f.readline().strip()
            if line.startswith("gitdir:"):
                target = line[len("gitdir:"):].strip()
                return os.path.normpath(os.path.join(path, target))
            return None
        parent = os.path.dirname(path)
        if parent == path:
            return None
        path = parent


def _common_dir(git_dir: str) -> str:
    # Linked work trees keep their refs in the main repository.
    try:
        with open(os.path.join(git_dir, "commondir"), encoding="utf-8") as f:
            return os.path.normpath(os.path.join(git_dir, f.read().strip()))
    except OSError:
        return git_dir


def _resolve_ref(git_dir: str, ref: str) -> str | None:
    for base in (git_dir, _common_dir(git_dir)):
        try:
            with open(os.path.join(base, ref), encoding="utf-8") as f:
                value = f.read().strip()
        except OSError:
            continue
        if _SHA.fullmatch(value):
            return value
    try:
        with open(os.path.join(_common_dir(git_dir), "packed-refs"), encoding="utf-8") as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2 and parts[1] == ref and _SHA.fullmatch(parts[0]):
                    return parts[0]
    except OSError:
        pass
    return None


def read_commit_sha(start: str | None = None) -> str | None:
    """The commit checked out in the work tree holding `start` (default: cwd)."""
    try:
        git_dir = _git_dir(os.getcwd() if start is None else start)
        if git_dir is None:
            return None
        with open(os.path.join(git_dir, "HEAD"), encoding="utf-8") as f:
            head = f.read().strip()
        if head.startswith("ref:"):
            return _resolve_ref(git_dir, head[len("ref:"):].strip())
        return head if _SHA.fullmatch(head) else None
    except (OSError, UnicodeDecodeError, ValueError):
        return None


COMMIT_SHA: str | None = read_commit_sha()
