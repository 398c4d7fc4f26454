import pytest

# A signing key and a prose sample shared by the test modules.
SECRET_HEX = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"

PROSE = (
    "The harbour town woke slowly that winter. Fishing boats rocked against the quay while the "
    "baker opened her shutters and the first gulls argued over yesterday's bread.\n\n"
    "By nine the market square was full: crates of apples, a stall of second-hand books, a man "
    "selling knives who sharpened anything you brought him for a coin. Children ran between the "
    "stalls and nobody minded.\n\n"
    "Later, when the tide turned, the boats went out one after another, and the town grew quiet "
    "again until the evening bell."
)


@pytest.fixture
def prose():
    return PROSE
