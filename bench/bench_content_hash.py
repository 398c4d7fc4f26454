"""content_hash against the floor hashlib.sha256(text.encode()).hexdigest() on 1 MB texts."""
import hashlib

import quelvane
from common import english, median_seconds, mixed, report


def floor(text):
    return hashlib.sha256(text.encode()).hexdigest()


def main():
    rows = []
    for name, text in (("english 1MB", english(1 << 20)), ("mixed 1MB", mixed(1 << 20))):
        base = median_seconds(floor, text, repeat=9)
        rows.append((f"sha256(encode) {name}", base, base))
        rows.append((f"content_hash   {name}", median_seconds(quelvane.content_hash, text, repeat=9), base))
    report(rows)


if __name__ == "__main__":
    main()
