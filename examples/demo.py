"""The publish-and-verify round trip on a sample text."""
import quelvane

SAMPLE = (
    "The harbour town woke slowly that winter. Fishing boats rocked against the quay while the "
    "baker opened her shutters and the first gulls argued over yesterday's bread."
)


def main():
    print("content hash:", quelvane.content_hash(SAMPLE))


if __name__ == "__main__":
    main()
