"""Where the tests find real files and the kvlzw tool."""

import os
import pathlib

import pytest

import kvlzw

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPUS = pathlib.Path(os.environ.get("KVLZW_CORPUS_DIR", REPO.parent / "shared" / "corpus"))
# The tool sits beside the component the package loaded, in a build tree or an install.
COMPONENT_DIR = pathlib.Path(kvlzw._native.module_path).resolve().parent
TOOL_CANDIDATES = [COMPONENT_DIR / "kvlzw", COMPONENT_DIR.parent / "bin" / "kvlzw"]


def corpus_file(relative):
    path = CORPUS / relative
    if not path.exists():
        pytest.skip(f"the corpus file {relative} is not at {CORPUS}")
    return path


@pytest.fixture(scope="session")
def tool():
    for candidate in TOOL_CANDIDATES:
        if candidate.exists():
            return str(candidate)
    pytest.skip("the kvlzw tool is not beside the component")
