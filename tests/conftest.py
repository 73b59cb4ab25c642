import pytest


@pytest.fixture
def db(tmp_path):
    """The path of a fresh trace database."""
    return tmp_path / "vesh.db"
